// Operations of the core Tensor. Recording operations push their backward
// node on the calling thread's tape before computing, when an operand requires
// gradients; the others never touch the tape.
#pragma once

#include "support/result.hpp"
#include "tensor/core.hpp"

namespace vorka::ops {

Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> sub(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);
Result<Tensor> div(const Tensor& a, const Tensor& b);
Result<Tensor> matmul(const Tensor& a, const Tensor& b);

Result<Tensor> scalar_add(const Tensor& t, float s);
Result<Tensor> scalar_sub(const Tensor& t, float s);
Result<Tensor> scalar_mul(const Tensor& t, float s);
Result<Tensor> scalar_div(const Tensor& t, float s);
Result<Tensor> scalar_rdiv(const Tensor& t, float s);  // s / t

Result<Tensor> reshape(const Tensor& t, const Dims& shape);
Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1);

Result<Tensor> eq(const Tensor& a, const Tensor& b);
Result<Tensor> ne(const Tensor& a, const Tensor& b);
Result<Tensor> lt(const Tensor& a, const Tensor& b);
Result<Tensor> le(const Tensor& a, const Tensor& b);
Result<Tensor> gt(const Tensor& a, const Tensor& b);
Result<Tensor> ge(const Tensor& a, const Tensor& b);
Result<Tensor> scalar_eq(const Tensor& t, float s);
Result<Tensor> scalar_ne(const Tensor& t, float s);
Result<Tensor> scalar_lt(const Tensor& t, float s);
Result<Tensor> scalar_le(const Tensor& t, float s);
Result<Tensor> scalar_gt(const Tensor& t, float s);
Result<Tensor> scalar_ge(const Tensor& t, float s);

Result<Tensor> logical_and(const Tensor& a, const Tensor& b);
Result<Tensor> logical_or(const Tensor& a, const Tensor& b);
Result<Tensor> logical_xor(const Tensor& a, const Tensor& b);
Result<Tensor> logical_not(const Tensor& t);

Tensor zeros_like(const Tensor& t);
Tensor ones_like(const Tensor& t);

}  // namespace vorka::ops
