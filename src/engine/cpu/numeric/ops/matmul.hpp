// Batched matrix multiplication: the last two axes are the matrix axes, every
// axis before them a batch axis broadcast between the operands. All arithmetic
// is float32; 16-bit operands are widened and the result narrowed once.
#pragma once

#include <string>

#include "strided/ndarray.hpp"
#include "support/result.hpp"

namespace vorka::kernels {

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
