// Gradient kernel of the batched matrix product.
#pragma once

#include "engine/cpu/numeric/backward/binary.hpp"

namespace vorka::numeric::backward {

// For out = a @ b (batch axes broadcast) and g the gradient of out:
// (g @ b^T, a^T @ g), each summed over the batch axes its operand was
// broadcast along, so the results have a's and b's shapes. Products, sums
// and the batch reduction run in float32; float16 and bfloat16 round once.
// Only the wanted gradients are computed (the operand the other one needs
// is not even read).
template <class T>
Result<GradPair<T>> matmul_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted = {});

}  // namespace vorka::numeric::backward
