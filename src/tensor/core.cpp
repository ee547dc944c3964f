#include <memory>
#include <type_traits>

#include "autograd/graph.hpp"
#include "autograd/ops.hpp"
#include "engine/cpu/storage/numeric.hpp"
#include "engine/cpu/storage/shape.hpp"
#include "tensor/ops.hpp"

namespace vorka::ops {

namespace {

// Refuses stale ids before anything is pushed, so a refused call leaves the
// tape as it was.
Status check_ids(Tape& tape, const Tensor& a, const Tensor* b) {
    if (a.node_id) VORKA_CHECK(tape.check(*a.node_id));
    if (b && b->node_id) VORKA_CHECK(tape.check(*b->node_id));
    return {};
}

// Records a two-input node (left input resolved first). `make(lhs_id, rhs_id)`
// builds the node.
template <class Make>
Result<std::optional<NodeId>> record2(const Tensor& a, const Tensor& b, Make&& make) {
    if (!a.requires_grad && !b.requires_grad) return std::optional<NodeId>{};
    VORKA_TRY(TapeGuard tape, TapeGuard::acquire());
    VORKA_CHECK(check_ids(*tape, a, &b));
    VORKA_TRY(NodeId lhs, tape->resolve_input(a.node_id));
    VORKA_TRY(NodeId rhs, tape->resolve_input(b.node_id));
    return std::optional<NodeId>(tape->push_node(make(lhs, rhs)));
}

template <class Make>
Result<std::optional<NodeId>> record1(const Tensor& t, Make&& make) {
    if (!t.requires_grad) return std::optional<NodeId>{};
    VORKA_TRY(TapeGuard tape, TapeGuard::acquire());
    VORKA_CHECK(check_ids(*tape, t, nullptr));
    VORKA_TRY(NodeId in, tape->resolve_input(t.node_id));
    return std::optional<NodeId>(tape->push_node(make(in)));
}

// An operand that does not require gradients gets a fresh leaf whose id no
// tensor holds: its gradient is unreadable, so the node skips it.
Needs needs(const Tensor& a, const Tensor& b) { return Needs{a.requires_grad, b.requires_grad}; }

Result<Tensor> finish(Result<CpuStorage>&& out, bool requires_grad, std::optional<NodeId> id) {
    if (!out.ok()) return std::move(out).error();
    return Tensor{Storage(std::move(*out)), requires_grad, id};
}

using PairOp = Result<CpuStorage> (*)(const CpuStorage&, const CpuStorage&);
using NumberOp = Result<CpuStorage> (*)(const CpuStorage&, float);

// The node of a two-operand operation: kernel gradients keep both storages,
// reduced ones the shapes.
template <class Node>
std::unique_ptr<Node> pair_node(const Tensor& a, const Tensor& b, NodeId l, NodeId r) {
    if constexpr (std::is_base_of_v<SavedPair, Node>)
        return std::make_unique<Node>(a.storage, b.storage, l, r, needs(a, b));
    else
        return std::make_unique<Node>(l, r, a.storage->shape(), b.storage->shape(), needs(a, b));
}

// Records the node, then computes (a failed computation leaves the node).
// Inlined: each entry point is its own function, as on the hot path of a
// small operation a call more shows.
template <class Node, PairOp op>
[[gnu::always_inline]] inline Result<Tensor> recorded_pair(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) { return pair_node<Node>(a, b, l, r); }));
    return finish(op(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

template <class Node>
std::unique_ptr<Node> number_node(const Tensor& t, NodeId in, float s) {
    if constexpr (std::is_base_of_v<SavedInput, Node>)
        return std::make_unique<Node>(t.storage, in, s);
    else if constexpr (std::is_base_of_v<ScaledInput, Node>)
        return std::make_unique<Node>(in, s);
    else
        return std::make_unique<Node>(in);
}

template <class Node, NumberOp op>
[[gnu::always_inline]] inline Result<Tensor> recorded_number(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return number_node<Node>(t, in, s); }));
    return finish(op(*t.storage, s), t.requires_grad, id);
}

Tensor constant(CpuStorage&& s) { return Tensor{Storage(std::move(s)), false, std::nullopt}; }

Result<Tensor> constant(Result<CpuStorage>&& out) {
    if (!out.ok()) return std::move(out).error();
    return constant(std::move(*out));
}

}  // namespace

#define VORKA_DEFINE_PAIR(name, lane, node, ...) \
    Result<Tensor> name(const Tensor& a, const Tensor& b) { return recorded_pair<node, storage_ops::name>(a, b); }
VORKA_ARITHMETIC_OPS(VORKA_DEFINE_PAIR)
VORKA_DEFINE_PAIR(matmul, -, MatmulNode)
#undef VORKA_DEFINE_PAIR

#define VORKA_DEFINE_NUMBER(name, lane, functor, reflected, number, word, node, ...) \
    Result<Tensor> name(const Tensor& t, float s) { return recorded_number<node, storage_ops::name>(t, s); }
VORKA_NUMBER_OPS(VORKA_DEFINE_NUMBER)
#undef VORKA_DEFINE_NUMBER

Result<Tensor> reshape(const Tensor& t, const Dims& shape) {
    Dims input_shape = t.storage->shape();
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return std::make_unique<ReshapeNode>(input_shape, in); }));
    return finish(storage_ops::reshape(*t.storage, shape), t.requires_grad, id);
}

Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1) {
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return std::make_unique<TransposeNode>(in, dim0, dim1); }));
    return finish(storage_ops::transpose(*t.storage, dim0, dim1), t.requires_grad, id);
}

// Comparisons and logical operations are never recorded.
#define VORKA_DEFINE_CONSTANT_PAIR(name, ...)                         \
    Result<Tensor> name(const Tensor& a, const Tensor& b) {           \
        return constant(storage_ops::name(*a.storage, *b.storage));   \
    }
#define VORKA_DEFINE_COMPARISON(name, ...)                            \
    VORKA_DEFINE_CONSTANT_PAIR(name)                                  \
    Result<Tensor> scalar_##name(const Tensor& t, float s) {          \
        return constant(storage_ops::scalar_##name(*t.storage, s));   \
    }
VORKA_COMPARISON_OPS(VORKA_DEFINE_COMPARISON)
VORKA_LOGICAL_OPS(VORKA_DEFINE_CONSTANT_PAIR)
#undef VORKA_DEFINE_COMPARISON
#undef VORKA_DEFINE_CONSTANT_PAIR

Result<Tensor> logical_not(const Tensor& t) { return constant(storage_ops::logical_not(*t.storage)); }

Tensor zeros_like(const Tensor& t) { return constant(storage_ops::zeros_like(*t.storage)); }
Tensor ones_like(const Tensor& t) { return constant(storage_ops::ones_like(*t.storage)); }

}  // namespace vorka::ops
