// float32 products too large for the register-blocked kernels' cache reuse,
// with AVX-512, blocked like the bfloat16 kernel: a KC x NC block of B is
// packed into NR-column panels (kept in L2) that stream past one MR-row panel
// of A at a time (kept in L1). Rows of A that run along k are read in place;
// other layouts of A are packed MC rows at a time. Each element of C is one
// FMA chain in k order, resumed across k blocks.
//
// float16 operands are widened as they are packed (A always packed), so a
// float16 product costs no float32 copy of either operand.

// GCC 12 flags the deliberately undefined operands inside its own AVX-512
// intrinsics (shuffles, casts) as maybe-uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <type_traits>

#include "engine/cpu/numeric/gemm_avx512_transpose.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace vorka::gemm::detail {
namespace {

constexpr size_t MR = 8;     // rows of the register tile
constexpr size_t NV = 2;     // zmm per row of the register tile
constexpr size_t NR = 16 * NV;
constexpr size_t KC = kPackedKC;  // k per block; an A panel is 8 KiB (L1)
constexpr size_t MC = 256;   // rows per packed A block: 256 KiB
// Columns per packed B block (2 MiB L2 when the CPU does not say).
size_t nc_block() { return detail::nc_block<NR, KC>(1L << 21); }

__mmask16 mask16(size_t lanes) { return lanes >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << lanes) - 1); }
__mmask8 mask8(size_t lanes) { return lanes >= 8 ? __mmask8(0xFF) : __mmask8((1u << lanes) - 1); }

// Loads of float32 or float16 (bit patterns) operands, widened to float32.
__m512 load16(__mmask16 m, const float* p) { return _mm512_maskz_loadu_ps(m, p); }
__m512 load16(__mmask16 m, const uint16_t* p) { return _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, p)); }
__m256 load8(__mmask8 m, const float* p) { return _mm256_maskz_loadu_ps(m, p); }
__m256 load8(__mmask8 m, const uint16_t* p) { return _mm256_cvtph_ps(_mm_maskz_loadu_epi16(m, p)); }
float widen1(float x) { return x; }
float widen1(uint16_t h) { return _cvtsh_ss(h); }

// transpose8 for either source type: float16 rows are widened first.
void transpose8_from(const float* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) { transpose8(src, ls, dst, ld); }
void transpose8_from(const uint16_t* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
    alignas(32) float t[64];
    for (ptrdiff_t r = 0; r < 8; ++r) _mm256_store_ps(t + 8 * r, load8(0xFF, src + r * ls));
    transpose8(t, 8, dst, ld);
}

// Packs `lines` lines of `kb` elements (element p of line i at i * ls + p * es)
// into panels of `width` lines: panel q holds rows p of `width` floats,
// dst[q * width * kb + p * width + r] = line q * width + r (zero past `lines`).
// Lines contiguous along k (es == 1) are transposed 8 x 8 at a time; with
// ls == 1 each k step is one contiguous run across all panels, read in
// order so that the hardware prefetcher keeps up.
template <class S>
void pack(const S* src, ptrdiff_t ls, ptrdiff_t es, size_t lines, size_t kb, size_t width, float* dst) {
    const size_t panels = (lines + width - 1) / width;
    if (ls == 1) {
        for (size_t p = 0; p < kb; ++p) {
            const S* s = src + static_cast<ptrdiff_t>(p) * es;
            for (size_t q = 0; q < panels; ++q) {
                float* d = dst + q * width * kb + p * width;
                const size_t i0 = q * width;
                if (width == 8) {
                    _mm256_store_ps(d, load8(mask8(lines - i0), s + i0));
                } else {
                    for (size_t h = 0; h < width; h += 16)
                        _mm512_store_ps(d + h, load16(mask16(lines > i0 + h ? lines - i0 - h : 0), s + i0 + h));
                }
            }
        }
        return;
    }
    for (size_t q = 0; q < panels; ++q) {
        const S* s = src + static_cast<ptrdiff_t>(q * width) * ls;
        float* d = dst + q * width * kb;
        const size_t n = std::min(width, lines - q * width);
        size_t r0 = 0;
        if (es == 1) {
            for (; r0 + 8 <= n; r0 += 8) {
                const S* sr = s + static_cast<ptrdiff_t>(r0) * ls;
                size_t p = 0;
                for (; p + 8 <= kb; p += 8)
                    transpose8_from(sr + p, ls, d + p * width + r0, static_cast<ptrdiff_t>(width));
                for (; p < kb; ++p)
                    for (size_t r = 0; r < 8; ++r)
                        d[p * width + r0 + r] = widen1(sr[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p)]);
            }
        }
        for (size_t p = 0; p < kb; ++p)
            for (size_t r = r0; r < width; ++r)
                d[p * width + r] =
                    r < n ? widen1(s[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p) * es]) : 0.0f;
    }
}

// Row i of the rows x kb float16 block at src (rows ls apart, unit stride
// along k) widened to dst + i * kb.
void widen_rows(const uint16_t* src, ptrdiff_t ls, size_t rows, size_t kb, float* dst) {
    for (size_t i = 0; i < rows; ++i, src += ls, dst += kb)
        for (size_t p = 0; p < kb; p += 16) {
            const __mmask16 m = mask16(kb - p);
            _mm512_mask_storeu_ps(dst + p, m, load16(m, src + p));
        }
}

// `rows` rows of `bytes` each, `ls` elements apart, into the cache.
template <class S>
void prefetch_rows(const S* src, ptrdiff_t ls, size_t rows, size_t bytes) {
    for (size_t r = 0; r < rows; ++r) {
        const char* row = reinterpret_cast<const char*>(src + static_cast<ptrdiff_t>(r) * ls);
        for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
        _mm_prefetch(row + bytes - 1, _MM_HINT_T0);
    }
}

// C[0, mb) x [0, NR) (masks m select the columns) = its previous value when
// `load`, else 0, plus kb steps of A (element (r, p) at r * ars + p * acs;
// rows past mb are never read) and packed B. C rows are `rsc` floats apart,
// columns contiguous.
// With `h` (not null), C goes there instead, rounded to float16.
void kernel(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c, ptrdiff_t rsc,
            size_t mb, const __mmask16* m, bool load, uint16_t* h = nullptr) {
    ptrdiff_t off[MR];
    __m512 acc[MR][NV];
#pragma GCC unroll 8
    for (size_t r = 0; r < MR; ++r) {
        off[r] = r < mb ? static_cast<ptrdiff_t>(r) * ars : 0;
#pragma GCC unroll 4
        for (size_t v = 0; v < NV; ++v)
            acc[r][v] = load && r < mb ? _mm512_maskz_loadu_ps(m[v], c + static_cast<ptrdiff_t>(r) * rsc + 16 * v)
                                       : _mm512_setzero_ps();
    }
    for (size_t p = 0; p < kb; ++p) {
        __m512 b[NV];
#pragma GCC unroll 4
        for (size_t v = 0; v < NV; ++v) b[v] = _mm512_load_ps(bp + 16 * v);
#pragma GCC unroll 8
        for (size_t r = 0; r < MR; ++r) {
            const __m512 av = _mm512_set1_ps(a[off[r]]);
#pragma GCC unroll 4
            for (size_t v = 0; v < NV; ++v) acc[r][v] = _mm512_fmadd_ps(av, b[v], acc[r][v]);
        }
        a += acs;
        bp += NR;
    }
#pragma GCC unroll 8
    for (size_t r = 0; r < MR; ++r) {
        if (r >= mb) break;
#pragma GCC unroll 4
        for (size_t v = 0; v < NV; ++v) {
            if (h)
                _mm256_mask_storeu_epi16(h + static_cast<ptrdiff_t>(r) * rsc + 16 * v, m[v],
                                         _mm512_cvtps_ph(acc[r][v], _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
            else
                _mm512_mask_storeu_ps(c + static_cast<ptrdiff_t>(r) * rsc + 16 * v, m[v], acc[r][v]);
        }
    }
}

void prefetch_tile(const float* c, ptrdiff_t rsc, size_t rows) {
    for (size_t r = 0; r < rows; ++r) {
        const char* row = reinterpret_cast<const char*>(c + static_cast<ptrdiff_t>(r) * rsc);
        // a row of NR floats may straddle one line more than it fills
        for (size_t b = 0; b < NR * sizeof(float); b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
        _mm_prefetch(row + NR * sizeof(float) - 1, _MM_HINT_T0);
    }
}

// One tile of C at any strides: through a dense buffer unless C's columns
// are contiguous.
void tile(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c, ptrdiff_t rsc,
          ptrdiff_t csc, size_t mb, size_t nb, bool load) {
    __mmask16 m[NV];
    for (size_t v = 0; v < NV; ++v) m[v] = mask16(nb > 16 * v ? nb - 16 * v : 0);
    if (csc == 1) {
        kernel(kb, a, ars, acs, bp, c, rsc, mb, m, load);
        return;
    }
    alignas(64) float t[MR * NR];
    if (load)
        for (size_t r = 0; r < mb; ++r)
            for (size_t j = 0; j < nb; ++j)
                t[r * NR + j] = c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc];
    kernel(kb, a, ars, acs, bp, t, NR, mb, m, load);
    for (size_t r = 0; r < mb; ++r)
        for (size_t j = 0; j < nb; ++j)
            c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc] = t[r * NR + j];
}

// One tile rounded to float16 as it is stored (k in one block, so C starts
// at zero); the float32 sums pass through an L1 buffer when C's columns are
// not contiguous.
void tile_f16(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, uint16_t* h, ptrdiff_t rsc,
              ptrdiff_t csc, size_t mb, size_t nb) {
    __mmask16 m[NV];
    for (size_t v = 0; v < NV; ++v) m[v] = mask16(nb > 16 * v ? nb - 16 * v : 0);
    if (csc == 1) {
        kernel(kb, a, ars, acs, bp, nullptr, rsc, mb, m, false, h);
        return;
    }
    alignas(64) float t[MR * NR];
    kernel(kb, a, ars, acs, bp, t, NR, mb, m, false);
    for (size_t r = 0; r < mb; ++r) {
        uint16_t* row = h + static_cast<ptrdiff_t>(r) * rsc;
        for (size_t j = 0; j < nb; ++j)
            row[static_cast<ptrdiff_t>(j) * csc] = _cvtss_sh(t[r * NR + j], _MM_FROUND_TO_NEAREST_INT);
    }
}

// `a_ready`: A is one block shared by every item and already packed by the
// first item.
template <class PR, class S>
void product(const PR& P, const S* a, const S* b, float* c, uint16_t* h, float* abuf, float* bbuf,
             bool a_ready) {
    const size_t NC = nc_block();
    for (size_t jc = 0; jc < P.n; jc += NC) {
        const size_t nc = std::min(NC, P.n - jc);
        for (size_t pc = 0; pc < P.k; pc += KC) {
            const size_t kb = std::min(KC, P.k - pc);
            const S* bk = b + static_cast<ptrdiff_t>(pc) * P.rsb + static_cast<ptrdiff_t>(jc) * P.csb;
            pack(bk, P.csb, P.rsb, nc, kb, NR, bbuf);
            for (size_t ic = 0; ic < P.m; ic += MC) {
                const size_t mc = std::min(MC, P.m - ic);
                const S* ak = a + static_cast<ptrdiff_t>(ic) * P.rsa + static_cast<ptrdiff_t>(pc) * P.csa;
                // Rows of A that run along k are read in place: the kernel
                // walks MR of them side by side, which the cache serves as well
                // as a packed panel, and the copy is saved. float16 rows are
                // widened into a row-major block, which costs far less than
                // transposing them into panels.
                constexpr bool wide = std::is_same_v<S, float>;
                const bool direct = P.csa == 1;
                if (!a_ready) {
                    if (!direct)
                        pack(ak, P.rsa, P.csa, mc, kb, MR, abuf);
                    else if constexpr (!wide)
                        widen_rows(ak, P.rsa, mc, kb, abuf);
                }
                const ptrdiff_t ars = !direct ? 1 : wide ? P.rsa : static_cast<ptrdiff_t>(kb);
                const ptrdiff_t acs = direct ? 1 : static_cast<ptrdiff_t>(MR);
                // The next block of float16 rows is fetched while this one
                // computes: widening it at once would wait on memory.
                const bool fetch = !wide && direct && !a_ready && ic + MC < P.m;
                for (size_t ir = 0; ir < mc; ir += MR) {
                    const float* ap = abuf + ir * kb;
                    if constexpr (wide)
                        if (direct) ap = ak + static_cast<ptrdiff_t>(ir) * P.rsa;
                    if (fetch) prefetch_rows(ak + static_cast<ptrdiff_t>(MC + ir) * P.rsa, P.rsa,
                                             std::min(MR, P.m - std::min(P.m, ic + MC + ir)), kb * sizeof(S));
                    const size_t mb = std::min(MR, mc - ir);
                    float* cr = c ? c + static_cast<ptrdiff_t>(ic + ir) * P.rsc + static_cast<ptrdiff_t>(jc) * P.csc : nullptr;
                    for (size_t jr = 0; jr < nc; jr += NR) {
                        if (h) {
                            tile_f16(kb, ap, ars, acs, bbuf + jr * kb,
                                     h + static_cast<ptrdiff_t>(ic + ir) * P.rsc +
                                         static_cast<ptrdiff_t>(jc + jr) * P.csc,
                                     P.rsc, P.csc, mb, std::min(NR, nc - jr));
                            continue;
                        }
                        float* ct = cr + static_cast<ptrdiff_t>(jr) * P.csc;
                        // C is revisited once per k block and comes from far caches by
                        // then: ask for the next tile a whole kernel ahead of its use.
                        if (pc > 0 && P.csc == 1 && jr + NR < nc) prefetch_tile(ct + NR, P.rsc, mb);
                        tile(kb, ap, ars, acs, bbuf + jr * kb, ct, P.rsc, P.csc, mb, std::min(NR, nc - jr), pc > 0);
                    }
                }
            }
        }
    }
}

template <class PR>
void packed(const PR& P) {
    packed_batch<MR, NR, MC>(P, nc_block(), [&](auto... item) { product(P, item...); });
}

}  // namespace

void packed_avx512(const Problem& P) { packed(P); }
void packed_avx512_f16(const HalfProblem& P) { packed(P); }

}  // namespace vorka::gemm::detail
