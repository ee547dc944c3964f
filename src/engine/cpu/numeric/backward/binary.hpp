// Gradient kernels of the element-wise operations, and the reduction that
// brings a broadcast gradient back to an operand's shape. One instantiation
// per float element type (VORKA_FLOAT_TYPES). float16 and bfloat16 compute each
// element in float32 from the operands' values, sum in float32 where an
// operand was broadcast, and round once.
#pragma once

#include <span>

#include "strided/ndarray.hpp"
#include "support/result.hpp"

namespace vorka::numeric::backward {

template <class T>
struct GradPair {
    NdArray<T> lhs, rhs;
};

// Which gradients of a two-operand kernel anyone can read. An unwanted one is
// not computed (its array is left empty); every check still runs, so errors
// do not depend on this.
struct Wanted {
    bool lhs = true, rhs = true;
};

// (g * b, g * a), each summed to its operand's shape. A summed gradient adds
// up the float32 values of its elements and is rounded once.
template <class T>
Result<GradPair<T>> mul_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Wanted wanted = {});

// (g / b, -g * a / (b * b)), each summed to its operand's shape as above.
template <class T>
Result<GradPair<T>> div_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Wanted wanted = {});

// g * (-s / (x * x)), the gradient of s / x with s rounded to the element
// type as the division rounds it; g and x of one shape.
template <class T>
Result<NdArray<T>> rdiv_backward(const NdView<T>& g, const NdView<T>& x, float s);

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
