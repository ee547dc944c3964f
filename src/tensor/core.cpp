#include "autograd/graph.hpp"
#include "autograd/nodes.hpp"
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

Tensor constant(CpuStorage&& s) { return Tensor{Storage(std::move(s)), false, std::nullopt}; }

Result<Tensor> constant(Result<CpuStorage>&& out) {
    if (!out.ok()) return std::move(out).error();
    return constant(std::move(*out));
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) {
        return std::make_unique<AddNode>(l, r, a.storage->shape(), b.storage->shape(), needs(a, b));
    }));
    return finish(storage_ops::add(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

Result<Tensor> sub(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) {
        return std::make_unique<SubNode>(l, r, a.storage->shape(), b.storage->shape(), needs(a, b));
    }));
    return finish(storage_ops::sub(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

Result<Tensor> mul(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) {
        return std::make_unique<MulNode>(a.storage, b.storage, l, r, needs(a, b));
    }));
    return finish(storage_ops::mul(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

Result<Tensor> div(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) {
        return std::make_unique<DivNode>(a.storage, b.storage, l, r, needs(a, b));
    }));
    return finish(storage_ops::div(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
    VORKA_TRY(auto id, record2(a, b, [&](NodeId l, NodeId r) {
        return std::make_unique<MatmulNode>(a.storage, b.storage, l, r, needs(a, b));
    }));
    return finish(storage_ops::matmul(*a.storage, *b.storage), a.requires_grad || b.requires_grad, id);
}

Result<Tensor> scalar_add(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [](NodeId in) { return std::make_unique<ScalarAddNode>(in); }));
    return finish(storage_ops::scalar_add(*t.storage, s), t.requires_grad, id);
}

Result<Tensor> scalar_sub(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [](NodeId in) { return std::make_unique<ScalarSubNode>(in); }));
    return finish(storage_ops::scalar_sub(*t.storage, s), t.requires_grad, id);
}

Result<Tensor> scalar_mul(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [s](NodeId in) { return std::make_unique<ScalarMulNode>(in, s); }));
    return finish(storage_ops::scalar_mul(*t.storage, s), t.requires_grad, id);
}

Result<Tensor> scalar_div(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [s](NodeId in) { return std::make_unique<ScalarDivNode>(in, s); }));
    return finish(storage_ops::scalar_div(*t.storage, s), t.requires_grad, id);
}

Result<Tensor> scalar_rdiv(const Tensor& t, float s) {
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return std::make_unique<ScalarRDivNode>(t.storage, in, s); }));
    return finish(storage_ops::scalar_rdiv(*t.storage, s), t.requires_grad, id);
}

Result<Tensor> reshape(const Tensor& t, const Dims& shape) {
    Dims input_shape = t.storage->shape();
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return std::make_unique<ReshapeNode>(input_shape, in); }));
    return finish(storage_ops::reshape(*t.storage, shape), t.requires_grad, id);
}

Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1) {
    VORKA_TRY(auto id, record1(t, [&](NodeId in) { return std::make_unique<TransposeNode>(in, dim0, dim1); }));
    return finish(storage_ops::transpose(*t.storage, dim0, dim1), t.requires_grad, id);
}

Result<Tensor> eq(const Tensor& a, const Tensor& b) { return constant(storage_ops::eq(*a.storage, *b.storage)); }
Result<Tensor> ne(const Tensor& a, const Tensor& b) { return constant(storage_ops::ne(*a.storage, *b.storage)); }
Result<Tensor> lt(const Tensor& a, const Tensor& b) { return constant(storage_ops::lt(*a.storage, *b.storage)); }
Result<Tensor> le(const Tensor& a, const Tensor& b) { return constant(storage_ops::le(*a.storage, *b.storage)); }
Result<Tensor> gt(const Tensor& a, const Tensor& b) { return constant(storage_ops::gt(*a.storage, *b.storage)); }
Result<Tensor> ge(const Tensor& a, const Tensor& b) { return constant(storage_ops::ge(*a.storage, *b.storage)); }
Result<Tensor> scalar_eq(const Tensor& t, float s) { return constant(storage_ops::scalar_eq(*t.storage, s)); }
Result<Tensor> scalar_ne(const Tensor& t, float s) { return constant(storage_ops::scalar_ne(*t.storage, s)); }
Result<Tensor> scalar_lt(const Tensor& t, float s) { return constant(storage_ops::scalar_lt(*t.storage, s)); }
Result<Tensor> scalar_le(const Tensor& t, float s) { return constant(storage_ops::scalar_le(*t.storage, s)); }
Result<Tensor> scalar_gt(const Tensor& t, float s) { return constant(storage_ops::scalar_gt(*t.storage, s)); }
Result<Tensor> scalar_ge(const Tensor& t, float s) { return constant(storage_ops::scalar_ge(*t.storage, s)); }

Result<Tensor> logical_and(const Tensor& a, const Tensor& b) {
    return constant(storage_ops::logical_and(*a.storage, *b.storage));
}
Result<Tensor> logical_or(const Tensor& a, const Tensor& b) {
    return constant(storage_ops::logical_or(*a.storage, *b.storage));
}
Result<Tensor> logical_xor(const Tensor& a, const Tensor& b) {
    return constant(storage_ops::logical_xor(*a.storage, *b.storage));
}
Result<Tensor> logical_not(const Tensor& t) { return constant(storage_ops::logical_not(*t.storage)); }

Tensor zeros_like(const Tensor& t) { return constant(storage_ops::zeros_like(*t.storage)); }
Tensor ones_like(const Tensor& t) { return constant(storage_ops::ones_like(*t.storage)); }

}  // namespace vorka::ops
