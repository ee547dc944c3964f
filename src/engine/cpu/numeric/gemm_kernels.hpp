// Internals of gemm.cpp, visible to its per-ISA kernels and to the tests.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace vorka::gemm::detail {

// One batch of products with normalised strides: m, n, k, batch >= 1, and no
// extent-1 axis carries a stride of 0.
struct Problem {
    size_t batch, m, n, k;
    const float* a;
    ptrdiff_t bsa, rsa, csa;
    const float* b;
    ptrdiff_t bsb, rsb, csb;
    float* c;
    ptrdiff_t bsc, rsc, csc;
};

using SmallKernel = void (*)(const Problem&);

extern int g_inner_min_k;
// When A's rows and B's columns are both contiguous, dot products along k
// beat packing B for the outer-product kernel, unless k is too short to
// amortise the horizontal sums.
inline bool prefer_inner(const Problem& p) {
    return p.csa == 1 && p.rsb == 1 && p.k >= (size_t)g_inner_min_k;
}

// Register-blocked kernels without packing of A; any strides are accepted,
// unit column strides of B and C are fastest.
void small_generic(const Problem& p);
void small_avx2(const Problem& p);
void small_avx512(const Problem& p);

struct NamedKernel {
    std::string_view name;
    SmallKernel fn;
};
// The kernels this CPU can run, best last.
std::span<const NamedKernel> available_small_kernels();

// Whether sgemm hands an m x n x k product to BLIS.
bool use_blis(size_t m, size_t n, size_t k);

// Single product through BLIS regardless of size (strides as for sgemm).
void sgemm_blis(size_t m, size_t n, size_t k,
                const float* a, ptrdiff_t rsa, ptrdiff_t csa,
                const float* b, ptrdiff_t rsb, ptrdiff_t csb,
                float* c, ptrdiff_t rsc, ptrdiff_t csc);

}  // namespace vorka::gemm::detail
