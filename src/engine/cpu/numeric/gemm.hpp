// Matrix products. Small ones go to register-blocked kernels, since a
// cache-blocked product pays for packing before it does any arithmetic; large
// ones to the packed kernel of the instruction set in use (AVX-512, AVX2 +
// FMA, or portable C++). README: "Matrix products".
#pragma once

#include <cstddef>

#include "tensor/dtype.hpp"

namespace vorka::gemm {

// C[i][j] = sum_p A[i][p] * B[p][j] for i < m, j < n. C is fully overwritten
// and never read. Strides are in elements; the stride of an axis of extent 1
// is ignored (it may be anything, including 0). k == 0 gives zeros; m == 0 or
// n == 0 does nothing. C must not overlap A or B.
void sgemm(size_t m, size_t n, size_t k,
           const float* a, ptrdiff_t rsa, ptrdiff_t csa,
           const float* b, ptrdiff_t rsb, ptrdiff_t csb,
           float* c, ptrdiff_t rsc, ptrdiff_t csc);

// `batch` independent products of one shape; item i starts at the base
// pointers plus i times the batch stride (0 repeats the same matrix).
void sgemm_batch(size_t batch, size_t m, size_t n, size_t k,
                 const float* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                 const float* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                 float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc);

// float16 products: the operands are widened to float32 as they are packed
// (no widened copy of either), C is float32; long sums are split like
// sgemm's. Always true.
bool f16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                    const f16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                    const f16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                    float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc);
// The same rounded once to float16 as each element is stored: with k beyond
// one block of the packed kernel through float32 partial sums of a band of
// columns at a time, never of the whole result; false (nothing written) also
// when k is 0.
bool f16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                    const f16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                    const f16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                    f16* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc);

// bfloat16 products: the same result as sgemm_batch on the widened operands
// (every product exact, sums in float32), at twice the FMA rate on CPUs with
// AVX512-BF16 (bf16_products_supported()). The summation order is fixed:
// k = 1, 0, 3, 2, 5, 4, ... The bfloat16-result form rounds each element once.
// Returns false, leaving C incomplete, when a value of A or B is not zero,
// infinite, NaN or of magnitude in [2^-56, 2^61): such values could make
// subnormal terms, which the instructions flush to zero.
bool bf16_products_supported();

// Whether a 16-bit product pays for its packed kernel rather than widened
// operands and the float32 small kernels: `work` multiply-adds in all (every
// item of a batch), sides m x k and k x n (thresholds in gemm_blocking.hpp).
bool f16_packing_pays(double work, size_t m, size_t n, size_t k);
bool bf16_packing_pays(double work, size_t m, size_t n, size_t k);
bool bf16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                     const bf16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                     const bf16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                     float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc);
bool bf16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                     const bf16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                     const bf16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                     bf16* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc);

}  // namespace vorka::gemm
