// The per-thread tape: recorded backward nodes in creation order, and the
// gradient each node received from the latest backward pass that reached it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "autograd/context.hpp"
#include "autograd/node_id.hpp"
#include "autograd/ops.hpp"
#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka {

class Tape {
  public:
    Tape();
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    // Appends a node (nullptr for a leaf) and an empty gradient slot.
    NodeId push_node(std::unique_ptr<BackwardOp> node);
    // An input's node: its id if it has one (refused when stale), else a new leaf.
    Result<NodeId> resolve_input(const std::optional<NodeId>& id);
    // RuntimeError when the id was issued before a clear or by another tape.
    Status check(const NodeId& id) const;
    bool is_current(const NodeId& id) const { return id.tape == uid_ && id.generation == generation_; }

    // Stores a gradient in slot `index` (replace, never add).
    void set_grad(std::size_t index, Storage grad) { grads_.set(index, std::move(grad)); }
    // Borrowed view of a stored gradient (no copy), or nullptr (empty slot or stale id).
    const Storage* grad_slot(const NodeId& id) const;
    void clear();

    std::size_t size() const noexcept { return nodes_.size(); }
    const BackwardOp* node(std::size_t index) const noexcept { return nodes_[index].get(); }

  private:
    std::vector<std::unique_ptr<BackwardOp>> nodes_;
    GradStore grads_;
    uint64_t uid_;
    uint64_t generation_ = 0;
    friend class TapeGuard;
    bool borrowed_ = false;
};

// Exclusive use of the calling thread's tape for the guard's lifetime. A
// nested borrow is an internal error.
class TapeGuard {
  public:
    static Result<TapeGuard> acquire();
    TapeGuard(TapeGuard&& o) noexcept : tape_(std::exchange(o.tape_, nullptr)) {}
    TapeGuard(const TapeGuard&) = delete;
    ~TapeGuard() {
        if (tape_) tape_->borrowed_ = false;
    }
    Tape& operator*() const noexcept { return *tape_; }
    Tape* operator->() const noexcept { return tape_; }

  private:
    explicit TapeGuard(Tape* t) noexcept : tape_(t) {}
    Tape* tape_;
};

}  // namespace vorka
