// Small-product kernel for AVX-512. Tails along n use lane masks, so operands
// are read and written in place whenever the vectorised axis is contiguous.
// Each element of C is one FMA chain in k order, resumed across chunks of k
// (C is reloaded into the accumulators), so the sums are those of every other
// FMA kernel bit for bit.

#include <immintrin.h>

#include <algorithm>

#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/numeric/gemm_avx512_transpose.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace vorka::gemm::detail {
namespace {

constexpr size_t KC = blocking::kKC;  // k-chunk of a packed B block: 64 KiB at most

struct Zmm {
    using V = __m512;
    using M = __mmask16;
    static constexpr int W = 16;
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V load(M m, const float* p) { return _mm512_maskz_loadu_ps(m, p); }
    static void store(float* p, M m, V x) { _mm512_mask_storeu_ps(p, m, x); }
    static void store_aligned(float* p, V x) { _mm512_store_ps(p, x); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
};

// Half-width vectors for products at most 8 columns wide, which would leave
// half of every zmm idle.
struct Ymm {
    using V = __m256;
    using M = __mmask8;
    static constexpr int W = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(M m, const float* p) { return _mm256_maskz_loadu_ps(m, p); }
    static void store(float* p, M m, V x) { _mm256_mask_storeu_ps(p, m, x); }
    static void store_aligned(float* p, V x) { _mm256_store_ps(p, x); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
};

template <class T>
typename T::M lane_mask(size_t lanes) {
    return lanes >= size_t(T::W) ? static_cast<typename T::M>(~0u)
                                 : static_cast<typename T::M>((1u << lanes) - 1u);
}

// Copies the kb x nb block of B at `src` into rows of `ld` floats. Columns
// that are contiguous along k are transposed in registers; anything else is
// gathered element by element.
void pack_b(const float* src, ptrdiff_t rs, ptrdiff_t cs, size_t kb, size_t nb, float* dst,
            ptrdiff_t ld) {
    if (rs != 1) {
        for (size_t p = 0; p < kb; ++p)
            for (size_t j = 0; j < nb; ++j)
                dst[static_cast<ptrdiff_t>(p) * ld + static_cast<ptrdiff_t>(j)] =
                    src[static_cast<ptrdiff_t>(p) * rs + static_cast<ptrdiff_t>(j) * cs];
        return;
    }
    // Whole 8 x 8 blocks first, one column group at a time so that few
    // pointers are live; then the ragged edges through masked 16 x 16 blocks.
    const size_t n8 = nb / 8 * 8, k8 = kb / 8 * 8;
    for (size_t j0 = 0; j0 < n8; j0 += 8) {
        const float* col = src + static_cast<ptrdiff_t>(j0) * cs;
        float* out = dst + static_cast<ptrdiff_t>(j0);
        for (size_t p0 = 0; p0 < k8; p0 += 8) transpose8(col + p0, cs, out + static_cast<ptrdiff_t>(p0) * ld, ld);
    }
    auto edge = [&](size_t j0, size_t jn, size_t p0, size_t pn) {
        const __mmask16 jmask = lane_mask<Zmm>(jn), pmask = lane_mask<Zmm>(pn);
        const float* col = src + static_cast<ptrdiff_t>(j0) * cs;
        __m512 r[16];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i)
            r[i] = size_t(i) < jn ? _mm512_maskz_loadu_ps(pmask, col + i * cs + p0) : _mm512_setzero_ps();
        transpose16(r);
        for (size_t i = 0; i < pn; ++i)
            _mm512_mask_storeu_ps(dst + static_cast<ptrdiff_t>(p0 + i) * ld + static_cast<ptrdiff_t>(j0), jmask, r[i]);
    };
    if (k8 < kb)  // the last kb - k8 rows, all columns
        for (size_t j0 = 0; j0 < nb; j0 += 16) edge(j0, std::min<size_t>(16, nb - j0), k8, kb - k8);
    if (n8 < nb)  // the last nb - n8 columns, the rows above
        for (size_t p0 = 0; p0 < k8; p0 += 16) edge(n8, nb - n8, p0, std::min<size_t>(16, k8 - p0));
}

// ---- outer-product kernel: vectors run along the columns of C and B ----

// Register tiles: 8 rows of up to 32 columns (16 accumulators), or 6 rows of
// 64 (24 accumulators: more FMAs per load, fewer tiles per product).
template <int NV>
constexpr int kRows = NV == 4 ? 6 : 8;

template <class T, int MB, int NV>
[[gnu::always_inline]] inline void tile(size_t kb, const float* a, ptrdiff_t rsa, ptrdiff_t csa,
                                        const float* b, ptrdiff_t ldb, const typename T::M* mask,
                                        float* c, ptrdiff_t rsc, ptrdiff_t csc, size_t nb,
                                        bool accumulate) {
    constexpr int W = T::W;
    typename T::V acc[MB][NV];
    if (accumulate && csc != 1) {
        alignas(64) float t[MB][NV * W] = {};
        for (int r = 0; r < MB; ++r)
            for (size_t j = 0; j < nb; ++j) t[r][j] = c[r * rsc + static_cast<ptrdiff_t>(j) * csc];
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r)
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = T::load(mask[v], &t[r][v * W]);
    } else {
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r)
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = accumulate ? T::load(mask[v], c + r * rsc + v * W) : T::zero();
    }

    for (size_t p = 0; p < kb; ++p) {
        typename T::V bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) bv[v] = T::load(mask[v], b + v * W);
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r) {
            const typename T::V av = T::set1(a[r * rsa]);
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = T::fma(av, bv[v], acc[r][v]);
        }
        a += csa;
        b += ldb;
    }

    if (csc == 1) {
#pragma GCC unroll 8
        for (int r = 0; r < MB; ++r) {
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) T::store(c + r * rsc + v * W, mask[v], acc[r][v]);
        }
        return;
    }
    alignas(64) float t[MB][NV * W];
#pragma GCC unroll 8
    for (int r = 0; r < MB; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) T::store_aligned(&t[r][v * W], acc[r][v]);
    for (int r = 0; r < MB; ++r) {
        float* cr = c + r * rsc;
        for (size_t j = 0; j < nb; ++j) cr[static_cast<ptrdiff_t>(j) * csc] = t[r][j];
    }
}

template <class T, int NV>
void rows(size_t mb, size_t kb, const float* a, ptrdiff_t rsa, ptrdiff_t csa, const float* b,
          ptrdiff_t ldb, const typename T::M* mask, float* c, ptrdiff_t rsc, ptrdiff_t csc,
          size_t nb, bool acc) {
    switch (mb) {
        case 1: return tile<T, 1, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        case 2: return tile<T, 2, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        case 3: return tile<T, 3, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        case 4: return tile<T, 4, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        case 5: return tile<T, 5, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        case 6: return tile<T, 6, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
        default:
            if constexpr (kRows<NV> >= 8) {
                if (mb == 7) return tile<T, 7, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
                return tile<T, 8, NV>(kb, a, rsa, csa, b, ldb, mask, c, rsc, csc, nb, acc);
            }
    }
}

// Columns [j0, j0 + nb) of one product, nb <= W * NV.
// Rows [r0, r1) of the columns [j0, j0 + nb) of a row-major B, into L1.
void prefetch_rows(const float* b, ptrdiff_t rsb, size_t r0, size_t r1, size_t j0, size_t nb) {
    for (size_t r = r0; r < r1; ++r) {
        const char* row = reinterpret_cast<const char*>(b + static_cast<ptrdiff_t>(r) * rsb + static_cast<ptrdiff_t>(j0));
        for (size_t off = 0; off < nb * sizeof(float); off += 64) _mm_prefetch(row + off, _MM_HINT_T0);
        _mm_prefetch(row + nb * sizeof(float) - 1, _MM_HINT_T0);
    }
}

// `next_b`: the next item's B (or null), fetched a slice per row tile so
// that a stack of small products streams it instead of stalling on it.
template <class T, int NV>
void block(const Problem& P, const float* a, const float* b, float* c, size_t j0, size_t nb,
           float* buf, const float* next_b) {
    constexpr int NR = NV * T::W;
    typename T::M mask[NV];
    for (int v = 0; v < NV; ++v) mask[v] = lane_mask<T>(nb > size_t(v * T::W) ? nb - v * T::W : 0);
    const bool direct = P.b.cs == 1;
    const size_t kstep = direct ? P.k : KC;
    for (size_t k0 = 0; k0 < P.k; k0 += kstep) {
        const size_t kb = std::min(kstep, P.k - k0);
        const float* bsrc = b + static_cast<ptrdiff_t>(k0) * P.b.rs + static_cast<ptrdiff_t>(j0) * P.b.cs;
        const float* bp = bsrc;
        ptrdiff_t ldb = P.b.rs;
        if (!direct) {
            pack_b(bsrc, P.b.rs, P.b.cs, kb, nb, buf, NR);
            bp = buf;
            ldb = NR;
        }
        const size_t tiles = (P.m + kRows<NV> - 1) / kRows<NV>;
        for (size_t i0 = 0; i0 < P.m; i0 += kRows<NV>) {
            const size_t mb = std::min<size_t>(kRows<NV>, P.m - i0);
            // a tall A streams from memory: its rows two tiles ahead
            if (P.a.cs == 1 && tiles > 4 && i0 + 3 * kRows<NV> <= P.m)
                prefetch_rows(a + static_cast<ptrdiff_t>(i0 + 2 * kRows<NV>) * P.a.rs, P.a.rs, 0, kRows<NV>, k0, kb);
            if (next_b && direct) {
                const size_t ti = i0 / kRows<NV>;
                prefetch_rows(next_b + static_cast<ptrdiff_t>(k0) * P.b.rs, P.b.rs, ti * kb / tiles,
                              (ti + 1) * kb / tiles, j0, nb);
            }
            rows<T, NV>(mb, kb, a + static_cast<ptrdiff_t>(i0) * P.a.rs + static_cast<ptrdiff_t>(k0) * P.a.cs,
                        P.a.rs, P.a.cs, bp, ldb, mask,
                        c + static_cast<ptrdiff_t>(i0) * P.c.rs + static_cast<ptrdiff_t>(j0) * P.c.cs,
                        P.c.rs, P.c.cs, nb, k0 > 0);
        }
    }
}

void outer(const Problem& P, const float* a, const float* b, float* c, float* buf, const float* next_b) {
    for (size_t j0 = 0; j0 < P.n;) {
        const size_t rem = P.n - j0;
        if (rem > 48) {
            const size_t nb = std::min<size_t>(rem, 64);
            block<Zmm, 4>(P, a, b, c, j0, nb, buf, next_b);
            j0 += nb;
        } else if (rem > 16) {
            const size_t nb = std::min<size_t>(rem, 32);
            block<Zmm, 2>(P, a, b, c, j0, nb, buf, next_b);
            j0 += nb;
        } else {
            if (rem > 8)
                block<Zmm, 1>(P, a, b, c, j0, rem, buf, next_b);
            else
                block<Ymm, 1>(P, a, b, c, j0, rem, buf, next_b);
            j0 += rem;
        }
    }
}

}  // namespace

void small_avx512(const Problem& P) {
    alignas(64) float buf[KC * 64];
    for (size_t t = 0; t < P.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        const float* a = P.a.p + it * P.a.bs;
        const float* b = P.b.p + it * P.b.bs;
        float* c = P.c.p + it * P.c.bs;
        outer(P, a, b, c, buf, t + 1 < P.batch && P.b.bs != 0 ? b + P.b.bs : nullptr);
    }
}

}  // namespace vorka::gemm::detail
