// Matrix products. Small ones go to register-blocked kernels, since a
// cache-blocked product pays for packing before it does any arithmetic; large
// ones to the packed kernel of the instruction set in use (AVX-512, AVX2 +
// FMA, or portable C++). README: "Matrix products".
#pragma once

#include <cstddef>

#include "tensor/dtype.hpp"

namespace vorka::gemm {

// A stack of matrices: item t starts at p + t * bs (bs 0: one matrix for
// every item), element (i, j) of an item at i * rs + j * cs; in elements.
template <class T>
struct MatrixView {
    T* p;
    ptrdiff_t bs, rs, cs;
    MatrixView transposed() const { return {p, bs, cs, rs}; }
};

// One batch of products C = A B (A: m x k, B: k x n items) of element type E
// of A and B. C is float32, or for 16-bit E with `h` set, h in C's layout
// (c.p unused) rounded once to E. C is fully overwritten and never read, and
// must not overlap A or B. The stride of an axis of extent 1 is ignored (it may be
// anything, including 0). k == 0 gives zeros; batch, m or n == 0 does nothing.
template <class E>
struct Product {
    size_t batch, m, n, k;
    MatrixView<const E> a, b;
    MatrixView<float> c;
    E* h = nullptr;
};

// C[i][j] = sum_p A[i][p] * B[p][j] for every item.
void sgemm(const Product<float>& p);

// float16 products: the operands are widened to float32 as they are packed
// (no widened copy of either); long sums are split like sgemm's. Into float32
// always true. Into float16 each element is rounded once as it is stored:
// with k beyond one block of the packed kernel through float32 partial sums
// of a band of columns at a time, never of the whole result; false (nothing
// written) when k is 0.
bool f16_gemm(const Product<f16>& p);

// bfloat16 products: the same result as sgemm on the widened operands (every
// product exact, sums in float32), at twice the FMA rate on CPUs with
// AVX512-BF16 (bf16_products_supported()). The summation order is fixed:
// k = 1, 0, 3, 2, 5, 4, ... The bfloat16-result form rounds each element once
// (with k beyond one block of its kernel through float32 partial sums of a
// band of columns at a time, as for float16).
// Returns false, leaving C incomplete, when a value of A or B is not zero,
// infinite, NaN or of magnitude in [2^-56, 2^61): such values could make
// subnormal terms, which the instructions flush to zero.
bool bf16_gemm(const Product<bf16>& p);
bool bf16_products_supported();

// Whether a 16-bit product pays for its packed kernel rather than widened
// operands and the float32 small kernels: `work` multiply-adds in all (every
// item of a batch), sides m x k and k x n (thresholds in gemm_blocking.hpp).
bool f16_packing_pays(double work, size_t m, size_t n, size_t k);
bool bf16_packing_pays(double work, size_t m, size_t n, size_t k);

}  // namespace vorka::gemm
