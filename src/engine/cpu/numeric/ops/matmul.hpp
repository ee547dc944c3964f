// Batched matrix multiplication: the last two axes are the matrix axes, every
// axis before them a batch axis broadcast between the operands. All arithmetic
// is float32; 16-bit operands are widened and the result narrowed once.
#pragma once

#include <span>
#include <string>

#include "strided/ndarray.hpp"
#include "support/result.hpp"

namespace vorka::kernels {

// A product a @ b whose shapes passed the checks: a is batch ++ [m, k] and b
// batch ++ [k, n] once their batch axes are broadcast.
struct MatmulShapes {
    std::size_t m, k, n;
    Dims batch;
};

// The shape checks of a product and their messages, for the product and its
// gradient alike (RuntimeErrors): both operands at least 2D, equal inner
// lengths, batch axes that broadcast.
Result<MatmulShapes> matmul_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b);

// Operand `name` ("A" or "B") broadcast to `target`; a RuntimeError when the
// element count of `target` overflows.
template <class T>
Result<NdView<T>> broadcast_operand(const NdView<T>& v, std::span<const std::size_t> target, const char* name) {
    auto r = v.broadcast(target);
    if (!r) return Error::runtime(broadcast_failed_text(name, target));
    return std::move(*r);
}

// float32 product in standard layout. Shape errors are RuntimeErrors with the
// matmul texts; a result beyond the size limit, or any allocation the machine
// refuses, is a Memory error.
Result<NdArray<float>> internal_linalg_matmul(const NdView<float>& a, const NdView<float>& b);

// float32 goes straight to internal_linalg_matmul; float16 and bfloat16 are
// multiplied in float32 and rounded once per result element.
template <class T>
struct MatmulOps {
    static Result<NdArray<T>> do_matmul(const NdView<T>& a, const NdView<T>& b);
};

}  // namespace vorka::kernels
