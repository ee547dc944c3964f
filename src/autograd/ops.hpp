// Backward nodes: the interface the tape owns them through (BackwardOp; a
// leaf is stored as an empty slot and costs no allocation) and the nodes
// recorded by differentiable operations. Their rules are in ops.cpp.
#pragma once

#include "autograd/node_id.hpp"
#include "strided/small_vec.hpp"
#include "support/result.hpp"
#include "tensor/operations.hpp"
#include "tensor/storage.hpp"

namespace vorka {

class GradStore;

class BackwardOp {
  public:
    virtual ~BackwardOp() = default;
    // Computes the gradient of each input from `grad` (the gradient of this
    // node's output) and accumulates it into `grads`.
    virtual Status backward(GradStore& grads, const Storage& grad) const = 0;
};

// Two-input nodes know which inputs require gradients (Needs). The other
// input's node is a leaf pushed for a constant operand: no tensor holds its
// id, so its gradient could never be read and is not computed.

// Reduced gradients (add, subtract) keep only the operands' shapes, to reduce
// broadcast gradients.
struct ShapedPair : BackwardOp {
    NodeId lhs_id, rhs_id;
    Dims lhs_shape, rhs_shape;
    Needs needs;
    ShapedPair(NodeId l, NodeId r, Dims ls, Dims rs, Needs n = {})
        : lhs_id(l), rhs_id(r), lhs_shape(std::move(ls)), rhs_shape(std::move(rs)), needs(n) {}
};

// Kernel gradients (product, quotient, matrix product) keep both operands.
struct SavedPair : BackwardOp {
    Storage lhs, rhs;
    NodeId lhs_id, rhs_id;
    Needs needs;
    SavedPair(Storage a, Storage b, NodeId l, NodeId r, Needs n = {})
        : lhs(std::move(a)), rhs(std::move(b)), lhs_id(l), rhs_id(r), needs(n) {}
};

// The arithmetic rows' nodes: kernel gradients keep both operands, reduced
// ones only the shapes.
#define VORKA_PAIR_BASE_Reduced ShapedPair
#define VORKA_PAIR_BASE_ReducedNegated ShapedPair
#define VORKA_PAIR_BASE_Kernel SavedPair
#define VORKA_PAIR_NODE(name, lane, node, gradient, ...)                              \
    struct node final : VORKA_PAIR_BASE_##gradient {                                  \
        using VORKA_PAIR_BASE_##gradient::VORKA_PAIR_BASE_##gradient;                 \
        Status backward(GradStore& grads, const Storage& grad) const override;        \
    };
VORKA_ARITHMETIC_OPS(VORKA_PAIR_NODE)
VORKA_PAIR_NODE(matmul, -, MatmulNode, Kernel)
#undef VORKA_PAIR_NODE

// A number operation's input: a pass-through gradient needs only its id.
struct PassInput : BackwardOp {
    NodeId input_id;
    explicit PassInput(NodeId i) : input_id(i) {}
};
// ... a scaled one also the number.
struct ScaledInput : BackwardOp {
    NodeId input_id;
    float scalar;
    ScaledInput(NodeId i, float s) : input_id(i), scalar(s) {}
};
// ... a kernel (s / x: -s / x^2) also the input itself.
struct SavedInput : BackwardOp {
    Storage input;
    NodeId input_id;
    float scalar;
    SavedInput(Storage x, NodeId i, float s) : input(std::move(x)), input_id(i), scalar(s) {}
};
#define VORKA_NUMBER_BASE_Pass PassInput
#define VORKA_NUMBER_BASE_Scaled ScaledInput
#define VORKA_NUMBER_BASE_Kernel SavedInput
#define VORKA_NUMBER_NODE(name, lane, functor, reflected, number, word, node, gradient, ...) \
    struct node final : VORKA_NUMBER_BASE_##gradient {                                       \
        using VORKA_NUMBER_BASE_##gradient::VORKA_NUMBER_BASE_##gradient;                    \
        Status backward(GradStore& grads, const Storage& grad) const override;               \
    };
VORKA_NUMBER_OPS(VORKA_NUMBER_NODE)
#undef VORKA_NUMBER_NODE

struct ReshapeNode final : BackwardOp {
    Dims input_shape;
    NodeId input_id;
    ReshapeNode(Dims shape, NodeId i) : input_shape(std::move(shape)), input_id(i) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

struct TransposeNode final : BackwardOp {
    NodeId input_id;
    std::size_t dim0, dim1;
    TransposeNode(NodeId i, std::size_t d0, std::size_t d1) : input_id(i), dim0(d0), dim1(d1) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

struct ReluNode final : BackwardOp {
    Storage input;  // the input, not the output
    NodeId input_id;
    ReluNode(Storage x, NodeId i) : input(std::move(x)), input_id(i) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

}  // namespace vorka
