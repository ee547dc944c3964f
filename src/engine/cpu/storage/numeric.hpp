// Element-wise, scalar, logical and matrix operations of CpuStorage. Each
// checks element types, dispatches on the storage's variant to a kernel and
// returns a new storage or an error carrying its exception kind and message.
#pragma once

#include "support/result.hpp"
#include "tensor/operations.hpp"
#include "tensor/storage.hpp"

namespace vorka::storage_ops {

// One entry point per row of the operation tables (tensor/operations.hpp).
#define VORKA_DECLARE_PAIR(name, ...) Result<CpuStorage> name(const CpuStorage& a, const CpuStorage& b);
#define VORKA_DECLARE_NUMBER(name, ...) Result<CpuStorage> name(const CpuStorage& x, float s);
#define VORKA_DECLARE_COMPARISON(name, ...) \
    VORKA_DECLARE_PAIR(name)                \
    VORKA_DECLARE_NUMBER(scalar_##name)

// Arithmetic: same numeric element type, broadcasting, result in that type.
VORKA_ARITHMETIC_OPS(VORKA_DECLARE_PAIR)

// Comparisons: same element type (Bool allowed), Bool result; with a number:
// the element widened against the number rounded to the element type.
VORKA_COMPARISON_OPS(VORKA_DECLARE_COMPARISON)

// Element (left) with a number. The number is first rounded to the element
// type, except for scalar_div, which multiplies the widened element by the
// float32 reciprocal and rounds once.
VORKA_NUMBER_OPS(VORKA_DECLARE_NUMBER)

// Bool only.
VORKA_LOGICAL_OPS(VORKA_DECLARE_PAIR)
Result<CpuStorage> logical_not(const CpuStorage& x);

#undef VORKA_DECLARE_PAIR
#undef VORKA_DECLARE_NUMBER
#undef VORKA_DECLARE_COMPARISON

// Batched matrix product with broadcast batch axes; result in standard layout.
Result<CpuStorage> matmul(const CpuStorage& a, const CpuStorage& b);

}  // namespace vorka::storage_ops
