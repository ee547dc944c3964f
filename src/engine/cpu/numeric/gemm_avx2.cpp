// Small-product kernel for AVX2 + FMA: MB x (8 * NV) register tiles. AVX2's
// masked stores are slow on AMD parts, so partial tiles go through buffers:
// B is packed (zero-padded) and C is written element by element. Each element
// of C is one FMA chain in k order, resumed across chunks of k (C is reloaded
// into the accumulators), so the sums are the packed kernels' bit for bit.
#include <immintrin.h>

#include <algorithm>

#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace vorka::gemm::detail {
namespace {

constexpr int W = 8;
constexpr size_t KC = blocking::kKC;  // k-chunk of a packed B block: 16 KiB at most

template <int NV>
constexpr int kRows = NV == 1 ? 8 : 6;

template <int MB, int NV>
[[gnu::always_inline]] inline void tile(size_t kb, const float* a, ptrdiff_t rsa, ptrdiff_t csa,
                                        const float* b, ptrdiff_t ldb, float* c, ptrdiff_t rsc,
                                        ptrdiff_t csc, size_t nb, bool accumulate) {
    __m256 acc[MB][NV];
    const bool whole = csc == 1 && nb == size_t(NV * W);
    if (accumulate && !whole) {
        alignas(32) float t[MB][NV * W] = {};
        for (int r = 0; r < MB; ++r)
            for (size_t j = 0; j < nb; ++j) t[r][j] = c[r * rsc + static_cast<ptrdiff_t>(j) * csc];
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r)
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) acc[r][v] = _mm256_load_ps(&t[r][v * W]);
    } else {
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r)
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v)
                acc[r][v] = accumulate ? _mm256_loadu_ps(c + r * rsc + v * W) : _mm256_setzero_ps();
    }

    for (size_t p = 0; p < kb; ++p) {
        __m256 bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) bv[v] = _mm256_loadu_ps(b + v * W);
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r) {
            const __m256 av = _mm256_broadcast_ss(a + r * rsa);
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) acc[r][v] = _mm256_fmadd_ps(av, bv[v], acc[r][v]);
        }
        a += csa;
        b += ldb;
    }

    if (whole) {
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r)
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) _mm256_storeu_ps(c + r * rsc + v * W, acc[r][v]);
        return;
    }
    alignas(32) float t[MB][NV * W];
#pragma GCC unroll 8
    for (int r = 0; r < MB; ++r)
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) _mm256_store_ps(&t[r][v * W], acc[r][v]);
    for (int r = 0; r < MB; ++r) {
        float* cr = c + r * rsc;
        for (size_t j = 0; j < nb; ++j) cr[static_cast<ptrdiff_t>(j) * csc] = t[r][j];
    }
}

template <int NV>
void rows(size_t mb, size_t kb, const float* a, ptrdiff_t rsa, ptrdiff_t csa, const float* b,
          ptrdiff_t ldb, float* c, ptrdiff_t rsc, ptrdiff_t csc, size_t nb, bool acc) {
    switch (mb) {
        case 1: return tile<1, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        case 2: return tile<2, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        case 3: return tile<3, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        case 4: return tile<4, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        case 5: return tile<5, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        case 6: return tile<6, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
        default:
            if constexpr (kRows<NV> >= 8) {
                if (mb == 7) return tile<7, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
                return tile<8, NV>(kb, a, rsa, csa, b, ldb, c, rsc, csc, nb, acc);
            }
    }
}

// Columns [j0, j0 + nb) of one product, nb <= 8 * NV.
template <int NV>
void block(const Problem& P, const float* a, const float* b, float* c, size_t j0, size_t nb,
           float* buf) {
    constexpr int NR = NV * W;
    const bool direct = P.b.cs == 1 && nb == size_t(NR);
    const size_t kstep = direct ? P.k : KC;
    for (size_t k0 = 0; k0 < P.k; k0 += kstep) {
        const size_t kb = std::min(kstep, P.k - k0);
        const float* bp;
        ptrdiff_t ldb;
        const float* bsrc = b + static_cast<ptrdiff_t>(k0) * P.b.rs + static_cast<ptrdiff_t>(j0) * P.b.cs;
        if (direct) {
            bp = bsrc;
            ldb = P.b.rs;
        } else {
            for (size_t p = 0; p < kb; ++p)
                for (size_t j = nb; j < size_t(NR); ++j) buf[p * NR + j] = 0.0f;
            for (size_t j = 0; j < nb; ++j)
                for (size_t p = 0; p < kb; ++p)
                    buf[p * NR + j] = bsrc[static_cast<ptrdiff_t>(p) * P.b.rs + static_cast<ptrdiff_t>(j) * P.b.cs];
            bp = buf;
            ldb = NR;
        }
        for (size_t i0 = 0; i0 < P.m; i0 += kRows<NV>) {
            const size_t mb = std::min<size_t>(kRows<NV>, P.m - i0);
            rows<NV>(mb, kb, a + static_cast<ptrdiff_t>(i0) * P.a.rs + static_cast<ptrdiff_t>(k0) * P.a.cs,
                     P.a.rs, P.a.cs, bp, ldb,
                     c + static_cast<ptrdiff_t>(i0) * P.c.rs + static_cast<ptrdiff_t>(j0) * P.c.cs, P.c.rs,
                     P.c.cs, nb, k0 > 0);
        }
    }
}

}  // namespace

void small_avx2(const Problem& P) {
    alignas(32) float buf[KC * 2 * W];
    for (size_t t = 0; t < P.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        const float* a = P.a.p + it * P.a.bs;
        const float* b = P.b.p + it * P.b.bs;
        float* c = P.c.p + it * P.c.bs;
        for (size_t j0 = 0; j0 < P.n;) {
            const size_t rem = P.n - j0;
            if (rem > size_t(W)) {
                const size_t nb = std::min<size_t>(rem, 2 * W);
                block<2>(P, a, b, c, j0, nb, buf);
                j0 += nb;
            } else {
                block<1>(P, a, b, c, j0, rem, buf);
                j0 += rem;
            }
        }
    }
}

}  // namespace vorka::gemm::detail
