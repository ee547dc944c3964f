// float32 matrix products. Large products go to BLIS (serial build, linked
// statically); small ones to our own kernels, since BLIS costs a few hundred
// nanoseconds per call before it does any arithmetic.
#pragma once

#include <cstddef>

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

}  // namespace vorka::gemm
