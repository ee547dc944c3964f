// Operations of the core Tensor. Recording operations push their backward
// node on the calling thread's tape before computing, when an operand requires
// gradients; the others never touch the tape.
#pragma once

#include "support/result.hpp"
#include "tensor/core.hpp"
#include "tensor/operations.hpp"

namespace vorka::ops {

// One entry point per row of the operation tables (tensor/operations.hpp).
#define VORKA_DECLARE_PAIR(name, ...) Result<Tensor> name(const Tensor& a, const Tensor& b);
#define VORKA_DECLARE_NUMBER(name, ...) Result<Tensor> name(const Tensor& t, float s);
#define VORKA_DECLARE_COMPARISON(name, ...) \
    VORKA_DECLARE_PAIR(name)                \
    VORKA_DECLARE_NUMBER(scalar_##name)
VORKA_ARITHMETIC_OPS(VORKA_DECLARE_PAIR)
VORKA_NUMBER_OPS(VORKA_DECLARE_NUMBER)  // scalar_rdiv: s / t
VORKA_COMPARISON_OPS(VORKA_DECLARE_COMPARISON)
VORKA_LOGICAL_OPS(VORKA_DECLARE_PAIR)
#undef VORKA_DECLARE_PAIR
#undef VORKA_DECLARE_NUMBER
#undef VORKA_DECLARE_COMPARISON

Result<Tensor> matmul(const Tensor& a, const Tensor& b);
Result<Tensor> logical_not(const Tensor& t);

Result<Tensor> reshape(const Tensor& t, const Dims& shape);
Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1);

Tensor zeros_like(const Tensor& t);
Tensor ones_like(const Tensor& t);

}  // namespace vorka::ops
