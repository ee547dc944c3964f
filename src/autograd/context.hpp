// The per-slot gradient store: one optional gradient per tape index. A
// backward pass fills one of its own; the tape keeps the gradients of the
// latest passes in another, so that a failed pass publishes nothing.
#pragma once

#include <cstddef>
#include <vector>

#include "autograd/node_id.hpp"
#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka {

class GradStore {
  public:
    explicit GradStore(std::size_t slots = 0) : grads_(slots) {}

    // Stores `grad` in slot `index`, replacing what the slot held.
    void set(std::size_t index, Storage grad);
    // Moves `grad` into an empty slot; otherwise the slot becomes the
    // element-wise sum (stored + grad). float16/bfloat16 contributions add up
    // in float32 and the slot holds that sum rounded once. On failure the slot
    // is unchanged.
    Status accumulate(std::size_t index, Storage grad);
    Status accumulate(const NodeId& id, Storage grad) { return accumulate(static_cast<std::size_t>(id.index), std::move(grad)); }
    // Moves the gradient out of slot `index`; an empty handle when there is none.
    Storage take(std::size_t index) noexcept;
    // Borrowed view of a slot, nullptr when empty or out of range.
    const Storage* get(std::size_t index) const noexcept {
        return index < grads_.size() && grads_[index] ? &grads_[index] : nullptr;
    }
    std::size_t size() const noexcept { return grads_.size(); }

    // Room for `slots` slots, so that storing into them cannot fail later.
    void reserve(std::size_t slots) { grads_.reserve(slots); }
    // Empties every slot in index order; a very large store gives its memory back.
    void clear();

  private:
    std::vector<Storage> grads_;  // an empty handle is an empty slot
    std::vector<Storage> wide_;   // float32 sums behind 16-bit slots with several contributions
};

}  // namespace vorka
