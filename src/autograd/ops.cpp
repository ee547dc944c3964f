// Backward rules of the nodes. Every gradient sent has the shape of the
// tensor it belongs to: where the forward operation broadcast an operand,
// its gradient is summed back to that operand's shape before it is sent.
// Gradients that pass through unchanged are shared, not copied: storages are
// immutable.
#include "autograd/ops.hpp"

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
                                                     Needs);

// The pair from a two-operand kernel (which sums each gradient to its
// operand's shape, from unrounded values), sent left first; a gradient nobody
// needs is not computed and not sent.
Status send_pair(GradStore& grads, const Storage& grad, const SavedPair& n, PairKernel kernel) {
    Result<storage_ops::GradPair> pair = kernel(*n.lhs, *grad, *n.rhs, n.needs);
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

#define VORKA_PAIR_BACKWARD_Reduced(name) send_reduced(grads, grad, *this, false)
#define VORKA_PAIR_BACKWARD_ReducedNegated(name) send_reduced(grads, grad, *this, true)
#define VORKA_PAIR_BACKWARD_Kernel(name) send_pair(grads, grad, *this, storage_ops::backward_##name)
#define VORKA_PAIR_BACKWARD(name, lane, node, gradient, ...)                 \
    Status node::backward(GradStore& grads, const Storage& grad) const {     \
        return VORKA_PAIR_BACKWARD_##gradient(name);                         \
    }
VORKA_ARITHMETIC_OPS(VORKA_PAIR_BACKWARD)
VORKA_PAIR_BACKWARD(matmul, -, MatmulNode, Kernel)
#undef VORKA_PAIR_BACKWARD

// Scaled: the same operation with the same number, hence the same rounding
// (division: times the float32 reciprocal, divided where that overflows).
#define VORKA_NUMBER_BACKWARD_Pass(name, kernel) grads.accumulate(input_id, grad)
#define VORKA_NUMBER_BACKWARD_Scaled(name, kernel) send(grads, input_id, storage_ops::name(*grad, scalar))
#define VORKA_NUMBER_BACKWARD_Kernel(name, kernel) \
    send(grads, input_id, storage_ops::backward_##kernel(*input, *grad, scalar))
#define VORKA_NUMBER_BACKWARD(name, lane, functor, reflected, number, word, node, gradient, kernel) \
    Status node::backward(GradStore& grads, const Storage& grad) const {                         \
        return VORKA_NUMBER_BACKWARD_##gradient(name, kernel);                                   \
    }
VORKA_NUMBER_OPS(VORKA_NUMBER_BACKWARD)
#undef VORKA_NUMBER_BACKWARD

Status ReshapeNode::backward(GradStore& grads, const Storage& grad) const {
    if (is_standard_layout(grad->shape(), grad->strides()))
        return send(grads, input_id, storage_ops::reshape(*grad, input_shape));
    // A later transpose hands back swapped strides: one standard-layout copy,
    // which the reshape then keeps.
    return grad->visit([&](const auto& a) -> Status {
        auto r = to_standard_layout(a.view()).into_shape(input_shape);
        if (!r.ok()) return Error::value(reshape_error_text(r.error().message));
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
