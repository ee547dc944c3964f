// Storage-level gradient operations: check element types, dispatch to the
// gradient kernels, and report kernel failures as RuntimeError.
#pragma once

#include <optional>

#include "support/result.hpp"
#include "tensor/operations.hpp"
#include "tensor/storage.hpp"

namespace vorka::storage_ops {

// Each gradient is present exactly when it was wanted.
struct GradPair {
    std::optional<CpuStorage> lhs, rhs;
};

// backward_<name> for each arithmetic row with a Kernel gradient, and
// backward_matmul. Operands in the order (left operand, gradient, right
// operand); all three of one float type, else TypeError. Each gradient comes
// summed to its operand's own shape.
#define VORKA_DECLARE_PAIR_GRADIENT(name, lane, node, gradient, ...)                                               \
    VORKA_IF_##gradient(Result<GradPair> backward_##name(const CpuStorage& lhs, const CpuStorage& grad,           \
                                                          const CpuStorage& rhs, Needs wanted);)
VORKA_ARITHMETIC_OPS(VORKA_DECLARE_PAIR_GRADIENT)
VORKA_DECLARE_PAIR_GRADIENT(matmul, -, MatmulNode, Kernel)
#undef VORKA_DECLARE_PAIR_GRADIENT

// One-input gradients: input and gradient of one float type, else TypeError.
Result<CpuStorage> backward_relu(const CpuStorage& input, const CpuStorage& grad);
// backward_<kernel> for each number-operand row with a Kernel gradient (rdiv:
// the gradient of s / input, grad * (-s / input^2)).
#define VORKA_DECLARE_NUMBER_GRADIENT(name, lane, functor, reflected, number, word, node, gradient, kernel) \
    VORKA_IF_##gradient(Result<CpuStorage> backward_##kernel(const CpuStorage& input, const CpuStorage& grad, float s);)
VORKA_NUMBER_OPS(VORKA_DECLARE_NUMBER_GRADIENT)
#undef VORKA_DECLARE_NUMBER_GRADIENT

// g summed over its added leading axes and over the axes where `shape` has
// extent 1 (float32 sums, one rounding for 16-bit types). RuntimeError when
// `shape` cannot be broadcast to g's shape.
Result<CpuStorage> sum_to_shape(const CpuStorage& g, const Dims& shape);

// A float32 copy of a float16/bfloat16 storage, and a float32 storage rounded
// once to `to` (float16 or bfloat16): 16-bit gradients that add up over
// several contributions are summed in float32. Other types: TypeError.
Result<CpuStorage> widen_f32(const CpuStorage& g);
Result<CpuStorage> narrow_f32(const CpuStorage& g, DType to);

}  // namespace vorka::storage_ops
