// The element-wise operations: one row each, one table per family. The layers
// expand the rows they need: the loop enums and lane dispatch
// (engine/cpu/simd), the storage entry points (engine/cpu/storage), the
// gradient kernels' declarations (engine/cpu/numeric/backward), the nodes
// (autograd/ops), the core entry points (tensor/ops.hpp, tensor/core.cpp)
// and the Python operators and methods (tensor/api_ops.cpp, tensor/api.cpp).
// Includes nothing.
#pragma once

namespace vorka {

// Which operands of a two-operand operation want a gradient: the nodes record
// it and the gradient kernels compute only those.
struct Needs {
    bool lhs = true, rhs = true;
};

}  // namespace vorka

// Arithmetic of two tensors of one Float type, broadcasting:
//   X(name, lane, node, gradient, Python, number form, reflected number form)
// name: storage_ops::name and ops::name.
// lane: simd::BinaryOp::lane, computed by the lane functor <lane>F.
// gradient: Reduced (the incoming gradient summed to each operand's shape),
//   ReducedNegated (the same with the right one negated), or Kernel (the node
//   keeps both operands; storage_ops::backward_<name> runs the gradient
//   kernel numeric::backward::<name>_backward).
// Python: slot(<type slot>), the operator in that slot; or method, the
//   method Tensor.<name>(other) of two tensors.
// number forms: the number-operand rows that `tensor op number` and
//   `number op tensor` compute (through the operator); none: not supported.
#define VORKA_ARITHMETIC_OPS(X)                                                    \
    X(add, Add, AddNode, Reduced, slot(Py_nb_add), scalar_add, scalar_add)         \
    X(sub, Sub, SubNode, ReducedNegated, slot(Py_nb_subtract), scalar_sub, none)   \
    X(mul, Mul, MulNode, Kernel, slot(Py_nb_multiply), scalar_mul, scalar_mul)     \
    X(div, Div, DivNode, Kernel, slot(Py_nb_true_divide), scalar_div, scalar_rdiv)

// A tensor of a Float type (left) with a number:
//   X(name, lane, lane functor, reflected, number, word, node, gradient, kernel)
// lane: simd::ScalarOp::lane, computed as x <functor> s (reflected: s <functor> x).
// number: rounded (the number is first rounded to the element type) or
//   reciprocal (times the float32 reciprocal; lane only where that overflows).
// word: names the operation in the message refusing Bool.
// gradient: Pass (the incoming gradient, unchanged), Scaled (the incoming
//   gradient through this same operation with the node's `scalar`), or Kernel
//   (the node keeps the input too; storage_ops::backward_<kernel> runs
//   numeric::backward::<kernel>_backward).
#define VORKA_NUMBER_OPS(X)                                                             \
    X(scalar_add, Add, AddF, false, rounded, "add", ScalarAddNode, Pass, none)          \
    X(scalar_sub, Sub, SubF, false, rounded, "sub", ScalarSubNode, Pass, none)          \
    X(scalar_mul, Mul, MulF, false, rounded, "product", ScalarMulNode, Scaled, none)    \
    X(scalar_div, Div, DivF, false, reciprocal, "product", ScalarDivNode, Scaled, none) \
    X(scalar_rdiv, RDiv, DivF, true, rounded, "div", ScalarRDivNode, Kernel, rdiv)

// Comparisons of two tensors of one element type (Bool too) or of a tensor of
// a Float type with a number (scalar_<name>); Bool result, never recorded:
//   X(name, lane, symbol, Python rich comparison)
// lane: simd::CompareOp::lane, computed by the lane functor <lane>F.
#define VORKA_COMPARISON_OPS(X)   \
    X(eq, Eq, "==", Py_EQ)        \
    X(ne, Ne, "!=", Py_NE)        \
    X(lt, Lt, "<", Py_LT)         \
    X(le, Le, "<=", Py_LE)        \
    X(gt, Gt, ">", Py_GT)         \
    X(ge, Ge, ">=", Py_GE)

// Logical operations of two Bool tensors, broadcasting; never recorded:
//   X(name, lane, Python slot)
#define VORKA_LOGICAL_OPS(X)             \
    X(logical_and, And, Py_nb_and)       \
    X(logical_or, Or, Py_nb_or)          \
    X(logical_xor, Xor, Py_nb_xor)

// The second column of a row: its lane, as an enumerator.
#define VORKA_OP_LANE(name, lane, ...) lane,

// VORKA_IF_<gradient>(...) expands its arguments only for rows whose gradient
// is a Kernel: those have kernels to declare, define and instantiate.
#define VORKA_IF_Kernel(...) __VA_ARGS__
#define VORKA_IF_Reduced(...)
#define VORKA_IF_ReducedNegated(...)
#define VORKA_IF_Pass(...)
#define VORKA_IF_Scaled(...)

// VORKA_IF_SLOT_<Python>(...) and VORKA_IF_METHOD_<Python>(...) expand their
// arguments only for the rows of that Python column; VORKA_SLOT_<Python> is
// the slot.
#define VORKA_KEEP(...) __VA_ARGS__
#define VORKA_DROP(...)
#define VORKA_IF_SLOT_slot(id) VORKA_KEEP
#define VORKA_IF_SLOT_method VORKA_DROP
#define VORKA_IF_METHOD_slot(id) VORKA_DROP
#define VORKA_IF_METHOD_method VORKA_KEEP
#define VORKA_SLOT_slot(id) id
