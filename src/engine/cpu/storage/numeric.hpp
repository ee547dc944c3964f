// Element-wise, scalar, logical and matrix operations of CpuStorage. Each
// checks element types, dispatches on the storage's variant to a kernel and
// returns a new storage or an error carrying its exception kind and message.
#pragma once

#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka::storage_ops {

// Arithmetic: same numeric element type, broadcasting, result in that type.
Result<CpuStorage> add(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> sub(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> mul(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> div(const CpuStorage& a, const CpuStorage& b);

// Comparisons: same element type (Bool allowed), Bool result.
Result<CpuStorage> eq(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> ne(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> lt(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> le(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> gt(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> ge(const CpuStorage& a, const CpuStorage& b);

// Element (left) with a number. The number is first rounded to the element
// type, except for scalar_mul_unrounded, which multiplies the widened element
// by the float32 value and rounds once (division by a number).
Result<CpuStorage> scalar_add(const CpuStorage& x, float s);
Result<CpuStorage> scalar_sub(const CpuStorage& x, float s);
Result<CpuStorage> scalar_mul(const CpuStorage& x, float s);
Result<CpuStorage> scalar_div(const CpuStorage& x, float s);    // x * (1 / s), or x / s when 1 / s overflows
Result<CpuStorage> scalar_rdiv(const CpuStorage& x, float s);   // s / x
Result<CpuStorage> scalar_eq(const CpuStorage& x, float s);
Result<CpuStorage> scalar_ne(const CpuStorage& x, float s);
Result<CpuStorage> scalar_lt(const CpuStorage& x, float s);
Result<CpuStorage> scalar_le(const CpuStorage& x, float s);
Result<CpuStorage> scalar_gt(const CpuStorage& x, float s);
Result<CpuStorage> scalar_ge(const CpuStorage& x, float s);

// Bool only.
Result<CpuStorage> logical_and(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> logical_or(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> logical_xor(const CpuStorage& a, const CpuStorage& b);
Result<CpuStorage> logical_not(const CpuStorage& x);

// Batched matrix product with broadcast batch axes; result in standard layout.
Result<CpuStorage> matmul(const CpuStorage& a, const CpuStorage& b);

}  // namespace vorka::storage_ops
