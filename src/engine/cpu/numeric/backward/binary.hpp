// Gradient kernels of the element-wise operations, and the reduction that
// brings a broadcast gradient back to an operand's shape. One instantiation
// per float element type (VORKA_FLOAT_TYPES). float16 and bfloat16 compute each
// element in float32 from the operands' values, sum in float32 where an
// operand was broadcast, and round once.
#pragma once

#include <span>

#include "strided/ndarray.hpp"
#include "support/result.hpp"
#include "tensor/operations.hpp"

namespace vorka::numeric::backward {

template <class T>
struct GradPair {
    NdArray<T> lhs, rhs;
};

// An unwanted gradient (Needs) is not computed (its array is left empty);
// every check still runs, so errors do not depend on what is wanted.
// <name>_backward for each arithmetic row with a Kernel gradient: the pair of
// gradients (of a, of b), each summed to its operand's shape. A summed
// gradient adds up the float32 values of its elements and is rounded once.
#define VORKA_DECLARE_PAIR_KERNEL(name, lane, node, gradient, ...)                                       \
    VORKA_IF_##gradient(template <class T> Result<GradPair<T>> name##_backward(                          \
                            const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted = {});)
VORKA_ARITHMETIC_OPS(VORKA_DECLARE_PAIR_KERNEL)
#undef VORKA_DECLARE_PAIR_KERNEL

// <kernel>_backward for each number-operand row with a Kernel gradient: the
// gradient of the input, from g and the input x of one shape and the number.
#define VORKA_DECLARE_NUMBER_KERNEL(name, lane, functor, reflected, number, word, node, gradient, kernel) \
    VORKA_IF_##gradient(template <class T> Result<NdArray<T>> kernel##_backward(                        \
                            const NdView<T>& g, const NdView<T>& x, float s);)
VORKA_NUMBER_OPS(VORKA_DECLARE_NUMBER_KERNEL)
#undef VORKA_DECLARE_NUMBER_KERNEL

// Sum of g over its added leading axes and over the axes where `target` has
// extent 1, giving a standard-layout array of shape `target`. Sums run in
// float32 and are rounded once.
template <class T>
Result<NdArray<T>> sum_to_shape(const NdView<T>& g, std::span<const std::size_t> target);

// The same reduction with the float32 sums left unrounded (for callers that
// continue in float32).
template <class T>
Result<NdArray<float>> sum_to_shape_f32(const NdView<T>& g, std::span<const std::size_t> target);

}  // namespace vorka::numeric::backward
