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

Status send(GradStore& grads, const NodeId& id, Result<CpuStorage>&& g) {
    if (!g.ok()) return std::move(g).error();
    return grads.accumulate(id, Storage(std::move(g).value()));
}

using PairKernel = Result<storage_ops::GradPair> (*)(const CpuStorage&, const CpuStorage&, const CpuStorage&,
                                                     storage_ops::Wanted);

// The pair from a two-operand kernel (which sums each gradient to its
// operand's shape, from unrounded values), sent left first; a gradient nobody
// needs is not computed and not sent.
Status send_pair(GradStore& grads, const Storage& grad, const SavedPair& n, PairKernel kernel) {
    Result<storage_ops::GradPair> pair = kernel(*n.lhs, *grad, *n.rhs, {n.needs.lhs, n.needs.rhs});
    if (!pair.ok()) return std::move(pair).error();
    storage_ops::GradPair p = std::move(pair).value();
    if (p.lhs) VORKA_CHECK(grads.accumulate(n.lhs_id, Storage(std::move(*p.lhs))));
    if (!p.rhs) return {};
    return grads.accumulate(n.rhs_id, Storage(std::move(*p.rhs)));
}

// The gradient reduced to each operand's shape, the right one negated for a
// subtraction (negation is exact, so reducing first gives the same values for
// less work).
Status send_reduced(GradStore& grads, const Storage& grad, const ShapedPair& n, bool negate_rhs) {
    if (n.needs.lhs) {
        VORKA_TRY(Storage gl, reduced(grad, n.lhs_shape));
        VORKA_CHECK(grads.accumulate(n.lhs_id, std::move(gl)));
    }
    if (!n.needs.rhs) return {};
    VORKA_TRY(Storage gr, reduced(grad, n.rhs_shape));
    if (negate_rhs) return send(grads, n.rhs_id, storage_ops::scalar_mul(*gr, -1.0f));
    return grads.accumulate(n.rhs_id, std::move(gr));
}

}  // namespace

Status AddNode::backward(GradStore& grads, const Storage& grad) const {
    return send_reduced(grads, grad, *this, false);
}

Status SubNode::backward(GradStore& grads, const Storage& grad) const {
    return send_reduced(grads, grad, *this, true);
}

Status MulNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, grad, *this, storage_ops::backward_mul);
}

Status DivNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, grad, *this, storage_ops::backward_div);
}

Status MatmulNode::backward(GradStore& grads, const Storage& grad) const {
    return send_pair(grads, grad, *this, storage_ops::backward_matmul);
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
