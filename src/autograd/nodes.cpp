// Backward rules of the nodes. Every gradient sent has the shape of the
// tensor it belongs to: where the forward operation broadcast an operand,
// its gradient is summed back to that operand's shape before it is sent.
// Gradients that pass through unchanged are shared, not copied: storages are
// immutable.
#include "autograd/nodes.hpp"

#include <utility>

#include "autograd/context.hpp"
#include "engine/cpu/storage/backward.hpp"
#include "engine/cpu/storage/numeric.hpp"
#include "engine/cpu/storage/shape.hpp"
#include "strided/iter.hpp"

namespace vorka {

namespace {

Result<Storage> reduced(const Storage& g, const Dims& shape) {
    if (g->shape() == shape) return g;
    VORKA_TRY(CpuStorage r, storage_ops::sum_to_shape(*g, shape));
    return Storage(std::move(r));
}

Result<Storage> reduced(CpuStorage&& g, const Dims& shape) {
    if (g.shape() == shape) return Storage(std::move(g));
    VORKA_TRY(CpuStorage r, storage_ops::sum_to_shape(g, shape));
    return Storage(std::move(r));
}

Status send(GradStore& grads, const NodeId& id, Result<CpuStorage>&& g) {
    if (!g.ok()) return std::move(g).error();
    return grads.accumulate(id, Storage(std::move(g).value()));
}

storage_ops::Wanted wanted(const Needs& n) { return {n.lhs, n.rhs}; }

// The pair from a two-operand kernel, each reduced to its operand's shape and
// sent left first; a gradient nobody needs was not computed and is not sent.
Status send_pair(GradStore& grads, Result<storage_ops::GradPair>&& pair, const NodeId& lhs_id,
                 const Dims& lhs_shape, const NodeId& rhs_id, const Dims& rhs_shape) {
    if (!pair.ok()) return std::move(pair).error();
    storage_ops::GradPair p = std::move(pair).value();
    if (p.lhs) {
        VORKA_TRY(Storage gl, reduced(std::move(*p.lhs), lhs_shape));
        VORKA_CHECK(grads.accumulate(lhs_id, std::move(gl)));
    }
    if (!p.rhs) return {};
    VORKA_TRY(Storage gr, reduced(std::move(*p.rhs), rhs_shape));
    return grads.accumulate(rhs_id, std::move(gr));
}

}  // namespace

Status AddNode::backward(GradStore& grads, const Storage& grad) const {
    if (needs.lhs) {
        VORKA_TRY(Storage gl, reduced(grad, lhs_shape));
        VORKA_CHECK(grads.accumulate(lhs_id, std::move(gl)));
    }
    if (!needs.rhs) return {};
    VORKA_TRY(Storage gr, reduced(grad, rhs_shape));
    return grads.accumulate(rhs_id, std::move(gr));
}

Status SubNode::backward(GradStore& grads, const Storage& grad) const {
    if (needs.lhs) {
        VORKA_TRY(Storage gl, reduced(grad, lhs_shape));
        VORKA_CHECK(grads.accumulate(lhs_id, std::move(gl)));
    }
    if (!needs.rhs) return {};
    // Negation is exact, so reducing first gives the same values for less work.
    VORKA_TRY(Storage gr, reduced(grad, rhs_shape));
    return send(grads, rhs_id, storage_ops::scalar_mul(*gr, -1.0f));
}

Status MulNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, storage_ops::backward_mul(*lhs, *grad, *rhs, wanted(needs)), lhs_id, lhs->shape(), rhs_id,
                     rhs->shape());
}

Status DivNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, storage_ops::backward_div(*lhs, *grad, *rhs, wanted(needs)), lhs_id, lhs->shape(), rhs_id,
                     rhs->shape());
}

Status MatmulNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, storage_ops::backward_matmul(*lhs, *grad, *rhs, wanted(needs)), lhs_id, lhs->shape(),
                     rhs_id, rhs->shape());
}

Status ScalarAddNode::backward(GradStore& grads, const Storage& grad) const {
    return grads.accumulate(input_id, grad);
}

Status ScalarSubNode::backward(GradStore& grads, const Storage& grad) const {
    return grads.accumulate(input_id, grad);
}

Status ScalarMulNode::backward(GradStore& grads, const Storage& grad) const {
    return send(grads, input_id, storage_ops::scalar_mul(*grad, scalar));
}

Status ScalarDivNode::backward(GradStore& grads, const Storage& grad) const {
    // Same rounding as the forward division: times the float32 reciprocal
    // (divided by the number where that reciprocal overflows).
    return send(grads, input_id, storage_ops::scalar_div(*grad, scalar));
}

Status ScalarRDivNode::backward(GradStore& grads, const Storage& grad) const {
    return send(grads, input_id, storage_ops::backward_rdiv(*input, *grad, scalar));
}

Status ReshapeNode::backward(GradStore& grads, const Storage& grad) const {
    if (is_standard_layout(grad->shape(), grad->strides()))
        return send(grads, input_id, storage_ops::reshape(*grad, input_shape));
    // A later transpose hands back swapped strides: one standard-layout copy,
    // which the reshape then keeps.
    return grad->visit([&](const auto& a) -> Status {
        auto r = to_standard_layout(a.view()).into_shape(input_shape);
        if (!r.ok()) return Error::value("Error while reshape: " + r.error().message);
        return grads.accumulate(input_id, Storage(CpuStorage(std::move(r).value())));
    });
}

Status TransposeNode::backward(GradStore& grads, const Storage& grad) const {
    return send(grads, input_id, storage_ops::transpose(*grad, dim0, dim1));
}

Status ReluNode::backward(GradStore& grads, const Storage& grad) const {
    return send(grads, input_id, storage_ops::backward_relu(*input, *grad));
}

}  // namespace vorka
