#include "autograd/graph.hpp"

#include <atomic>
#include <string>

namespace vorka {

namespace {
std::atomic<uint64_t> next_tape_uid{1};
thread_local Tape thread_tape;
}  // namespace

Tape::Tape() : uid_(next_tape_uid.fetch_add(1, std::memory_order_relaxed)) {}

NodeId Tape::push_node(std::unique_ptr<BackwardOp> node) {
    // Reserve both lists first: a failed allocation leaves the tape as it
    // was, and storing a gradient for any node never allocates.
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(nodes_.empty() ? 64 : nodes_.size() * 2);
    grads_.reserve(nodes_.capacity());
    const std::size_t index = nodes_.size();
    nodes_.push_back(std::move(node));
    return NodeId{uid_, generation_, index};
}

Status Tape::check(const NodeId& id) const {
    if (id.tape != uid_)
        return Error::runtime(
            "the tensor's node id belongs to another thread's autograd graph; gradients can only be "
            "recorded and read on the thread that created the tensor");
    if (id.generation != generation_)
        return Error::runtime(
            "the tensor's autograd graph was cleared by clear_graph(); its node id is stale and can no "
            "longer take part in gradient computation");
    return {};
}

Result<NodeId> Tape::resolve_input(const std::optional<NodeId>& id) {
    if (id) {
        VORKA_CHECK(check(*id));
        return *id;
    }
    return push_node(nullptr);
}

const Storage* Tape::grad_slot(const NodeId& id) const {
    return is_current(id) ? grads_.get(static_cast<std::size_t>(id.index)) : nullptr;
}

void Tape::clear() {
    // Release nodes in id order, then gradients; keep the capacity.
    for (auto& n : nodes_) n.reset();
    nodes_.clear();
    grads_.clear();
    // A long run can leave millions of slots behind; give that memory back.
    if (nodes_.capacity() > 65536) nodes_.shrink_to_fit();
    ++generation_;
}

Result<TapeGuard> TapeGuard::acquire() {
    Tape& t = thread_tape;
    if (t.borrowed_) return Error::panic("the autograd tape is already in use on this thread");
    t.borrowed_ = true;
    return TapeGuard(&t);
}

}  // namespace vorka
