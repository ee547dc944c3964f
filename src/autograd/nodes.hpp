// The backward nodes recorded by differentiable operations.
#pragma once

#include "autograd/node_id.hpp"
#include "autograd/ops.hpp"
#include "strided/small_vec.hpp"

namespace vorka {

// Two-input nodes know which inputs require gradients. The other input's
// node is a leaf pushed for a constant operand: no tensor holds its id, so
// its gradient could never be read and is not computed.
struct Needs {
    bool lhs = true, rhs = true;
};

// Add and subtract keep only the operands' shapes, to reduce broadcast
// gradients.
struct ShapedPair : BackwardOp {
    NodeId lhs_id, rhs_id;
    Dims lhs_shape, rhs_shape;
    Needs needs;
    ShapedPair(NodeId l, NodeId r, Dims ls, Dims rs, Needs n = {})
        : lhs_id(l), rhs_id(r), lhs_shape(std::move(ls)), rhs_shape(std::move(rs)), needs(n) {}
};
struct AddNode final : ShapedPair {
    using ShapedPair::ShapedPair;
    Status backward(GradStore& grads, const Storage& grad) const override;
};
struct SubNode final : ShapedPair {
    using ShapedPair::ShapedPair;
    Status backward(GradStore& grads, const Storage& grad) const override;
};

// Product, quotient and matrix product keep both operands.
struct SavedPair : BackwardOp {
    Storage lhs, rhs;
    NodeId lhs_id, rhs_id;
    Needs needs;
    SavedPair(Storage a, Storage b, NodeId l, NodeId r, Needs n = {})
        : lhs(std::move(a)), rhs(std::move(b)), lhs_id(l), rhs_id(r), needs(n) {}
};
struct MulNode final : SavedPair {
    using SavedPair::SavedPair;
    Status backward(GradStore& grads, const Storage& grad) const override;
};
struct DivNode final : SavedPair {
    using SavedPair::SavedPair;
    Status backward(GradStore& grads, const Storage& grad) const override;
};
struct MatmulNode final : SavedPair {
    using SavedPair::SavedPair;
    Status backward(GradStore& grads, const Storage& grad) const override;
};

// Scalar add and subtract pass the gradient through unchanged.
struct ScalarAddNode final : BackwardOp {
    NodeId input_id;
    explicit ScalarAddNode(NodeId i) : input_id(i) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};
struct ScalarSubNode final : BackwardOp {
    NodeId input_id;
    explicit ScalarSubNode(NodeId i) : input_id(i) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

struct ScalarMulNode final : BackwardOp {
    NodeId input_id;
    float scalar;
    ScalarMulNode(NodeId i, float s) : input_id(i), scalar(s) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

struct ScalarDivNode final : BackwardOp {
    NodeId input_id;
    float scalar;  // the divisor
    ScalarDivNode(NodeId i, float s) : input_id(i), scalar(s) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

// s / x: saves x to form -s / x^2.
struct ScalarRDivNode final : BackwardOp {
    Storage input;
    NodeId input_id;
    float scalar;  // the dividend
    ScalarRDivNode(Storage x, NodeId i, float s) : input(std::move(x)), input_id(i), scalar(s) {}
    Status backward(GradStore& grads, const Storage& grad) const override;
};

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
