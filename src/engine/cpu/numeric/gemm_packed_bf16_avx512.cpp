// Kernel traits of the packed product for bfloat16 with AVX512-BF16.
// VDPBF16PS multiplies pairs of bfloat16 values exactly and adds both
// products into a float32 lane, the odd element first, each addition rounded
// to nearest-even: two float32 FMAs in sequence, at twice the FMA rate. It
// reads subnormal inputs as zero and flushes subnormal results, so every block
// of A and B is checked as it is packed or read (see kBf16ExactLow): with
// those values no subnormal can arise, and the result is exactly the float32
// sum, in k order (pairwise odd-even), of the widened operands' products. A
// block that fails the check abandons the product.
//
// The driver packs k-pairs as one 32-bit word per element pair; rows of A
// that run along k already hold their pairs as words and are read in place
// (12-row tiles), other layouts are packed (8-row tiles).

// GCC 12 flags the deliberately undefined operands inside its own AVX-512
// intrinsics (shuffles, casts) as maybe-uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/numeric/gemm_avx512_transpose.hpp"
#include "engine/cpu/numeric/gemm_driver.hpp"

#pragma GCC push_options
#pragma GCC target("avx512bf16")

namespace vorka::gemm::detail {
namespace {

using u16 = uint16_t;
using u32 = uint32_t;

__mmask32 mask32(size_t lanes) { return lanes >= 32 ? ~__mmask32{0} : (__mmask32{1} << lanes) - 1; }
__mmask16 mask16(size_t lanes) { return lanes >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << lanes) - 1); }

// Screens values for bf16_exact_range on the fly: the smallest nonzero and
// the largest magnitude seen. Only values at or above 2^61 (which include
// infinities and NaNs, both fine) leave the verdict open.
struct Range {
    __m512i below = _mm512_set1_epi16(-1), top = _mm512_setzero_si512();
    bool seen = false;
    void add(__m512i x) {
        seen = true;
        const __m512i v = _mm512_and_si512(x, _mm512_set1_epi16(0x7FFF));
        below = _mm512_min_epu16(below, _mm512_sub_epi16(v, _mm512_set1_epi16(1)));  // 0 wraps to the top
        top = _mm512_max_epu16(top, v);
    }
    // 1: every value is exact; 0: some value is too small; -1: look closer
    // (also when nothing was screened)
    int verdict() const {
        if (!seen) return -1;
        if (_mm512_cmplt_epu16_mask(below, _mm512_set1_epi16(kBf16ExactLow - 1)) != 0) return 0;
        return _mm512_cmpge_epu16_mask(top, _mm512_set1_epi16(kBf16ExactHigh)) == 0 ? 1 : -1;
    }
};

// One packed word: element 2q in the low half, 2q + 1 (or 0 past the end of
// k) in the high half.
u32 pair_at(const u16* x, ptrdiff_t step, size_t q, size_t kb) {
    const u32 lo = x[static_cast<ptrdiff_t>(2 * q) * step];
    const u32 hi = 2 * q + 1 < kb ? x[static_cast<ptrdiff_t>(2 * q + 1) * step] : 0u;
    return lo | hi << 16;
}

// Lines whose k-pairs are contiguous words (rows of a row-major A, columns of
// a column-major B): gathers 16 lines x 16 pairs and transposes them, so that
// out(q, w) receives the 16 lines' words for pair q0 + q (zero past `lines`).
template <class Out>
void gather_pairs16(const u16* base, ptrdiff_t line_stride, size_t lines, size_t kb, Out&& out) {
    const size_t kp = (kb + 1) / 2;
    for (size_t q0 = 0; q0 < kp; q0 += 16) {
        const __mmask32 km = mask32(kb - 2 * q0);
        __m512 r[16];
#pragma GCC unroll 16
        for (size_t i = 0; i < 16; ++i)
            r[i] = i < lines ? _mm512_castsi512_ps(_mm512_maskz_loadu_epi16(
                                   km, base + static_cast<ptrdiff_t>(i) * line_stride + 2 * q0))
                             : _mm512_setzero_ps();
        transpose16(r);
        const size_t qn = std::min<size_t>(16, kp - q0);
        for (size_t q = 0; q < qn; ++q) out(q0 + q, _mm512_castps_si512(r[q]));
    }
}

// Interleaves two rows of 32 bf16 (k = 2q and 2q + 1) into 32 words.
struct Interleave {
    __m512i lo, hi;
    Interleave() {
        alignas(64) u16 l[32], h[32];
        for (int j = 0; j < 16; ++j) {
            l[2 * j] = u16(j), l[2 * j + 1] = u16(32 + j);
            h[2 * j] = u16(16 + j), h[2 * j + 1] = u16(48 + j);
        }
        lo = _mm512_load_si512(l);
        hi = _mm512_load_si512(h);
    }
};

bool exact(const u32* words, size_t n) { return bf16_exact_range_avx512(reinterpret_cast<const u16*>(words), 2 * n); }

struct Bf16Avx512 {
    using Word = u32;
    static constexpr size_t kPair = 2;
    static constexpr size_t MR = blocking::kBf16Packed.mr, NR = blocking::kBf16Packed.nr;
    static constexpr size_t MC = blocking::kBf16Packed.mc;
    // With A read in place a tile is only a few dozen instructions deep for
    // short k: more accumulator chains per tile hide the instruction's latency
    // and the tile's set-up better (24 of 32 registers).
    static constexpr size_t MRD = blocking::kBf16Direct.mr, MCD = blocking::kBf16Direct.mc;
    static constexpr size_t KC = blocking::kBf16KC, NC = blocking::kBf16NC;
    static constexpr bool kEdgesInPlace = true;
    static_assert(NR == 32 && blocking::kBf16Direct.nr == NR);

    // Panels of `width` lines (see the driver; a multiple of 16, or 8): one
    // word per pair of k.
    static_assert(MR == 8 && NR % 16 == 0);
    static bool pack(const u16* src, ptrdiff_t ls, ptrdiff_t es, size_t lines, size_t kb, size_t width, u32* dst) {
        const size_t kp = (kb + 1) / 2;
        const size_t panels = (lines + width - 1) / width;
        if (es == 1) {
            // 16 lines at a time, into one panel or split over panels of 8
            const size_t seg = std::min<size_t>(16, width);
            for (size_t i0 = 0; i0 < lines; i0 += 16)
                gather_pairs16(src + static_cast<ptrdiff_t>(i0) * ls, ls, std::min<size_t>(16, lines - i0), kb,
                               [&](size_t q, __m512i w) {
                                   for (size_t s = 0; s < 16; s += seg) {
                                       const size_t line = i0 + s, p = line / width;
                                       if (p >= panels) break;
                                       u32* d = dst + p * width * kp + q * width + line % width;
                                       _mm512_mask_storeu_epi32(d, mask16(seg),
                                                                s ? _mm512_alignr_epi32(w, w, 8) : w);
                                   }
                               });
            // slots past the last group of 16 lines must still read as zero
            for (size_t line = (lines + 15) / 16 * 16; line < panels * width; line += 16) {
                u32* d = dst + (line / width) * width * kp + line % width;
                for (size_t q = 0; q < kp; ++q) _mm512_mask_storeu_epi32(d + q * width, mask16(seg), _mm512_setzero_si512());
            }
            return exact(dst, panels * width * kp);
        }
        if (ls == 1 && width % 32 != 0) {
            // 8 lines at a time (panels of A)
            for (size_t p = 0; p < panels; ++p)
                for (size_t j0 = 0; j0 < width; j0 += 8) {
                    const size_t first = p * width + j0;
                    const __mmask8 rm = static_cast<__mmask8>(mask16(lines > first ? std::min<size_t>(8, lines - first) : 0));
                    u32* d = dst + p * width * kp + j0;
                    for (size_t q = 0; q < kp; ++q) {
                        const u16* col = src + static_cast<ptrdiff_t>(2 * q) * es + static_cast<ptrdiff_t>(first);
                        const __m128i x = _mm_maskz_loadu_epi16(rm, col);
                        const __m128i y = 2 * q + 1 < kb ? _mm_maskz_loadu_epi16(rm, col + es) : _mm_setzero_si128();
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + q * width), _mm_unpacklo_epi16(x, y));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + q * width + 4), _mm_unpackhi_epi16(x, y));
                    }
                }
            return exact(dst, panels * width * kp);
        }
        if (ls == 1) {
            // 32 lines at a time (panels of B), screened as they pass
            const Interleave ix;
            Range range;
            for (size_t p = 0; p < panels; ++p)
                for (size_t j0 = 0; j0 < width; j0 += 32) {
                    const size_t first = p * width + j0, slots = std::min<size_t>(32, width - j0);
                    const __mmask32 cm = mask32(lines > first ? std::min(slots, lines - first) : 0);
                    u32* d = dst + p * width * kp + j0;
                    for (size_t q = 0; q < kp; ++q) {
                        const u16* row = src + static_cast<ptrdiff_t>(2 * q) * es + static_cast<ptrdiff_t>(first);
                        const __m512i x = _mm512_maskz_loadu_epi16(cm, row);
                        const __m512i y = 2 * q + 1 < kb ? _mm512_maskz_loadu_epi16(cm, row + es) : _mm512_setzero_si512();
                        range.add(x);
                        range.add(y);
                        _mm512_mask_storeu_epi32(d + q * width, mask16(slots), _mm512_permutex2var_epi16(x, ix.lo, y));
                        if (slots > 16)
                            _mm512_mask_storeu_epi32(d + q * width + 16, mask16(slots - 16),
                                                     _mm512_permutex2var_epi16(x, ix.hi, y));
                    }
                }
            const int screened = range.verdict();
            return screened == 1 || (screened < 0 && exact(dst, panels * width * kp));
        }
        for (size_t p = 0; p < panels; ++p)
            for (size_t q = 0; q < kp; ++q)
                for (size_t r = 0; r < width; ++r) {
                    const size_t i = p * width + r;
                    dst[(p * kp + q) * width + r] = i < lines ? pair_at(src + static_cast<ptrdiff_t>(i) * ls, es, q, kb) : 0u;
                }
        return exact(dst, panels * width * kp);
    }

    // Rows read in place hold only values whose products are exact and normal.
    static bool rows_ok(const u16* src, ptrdiff_t ls, size_t rows, size_t kb) {
        // rows back to back (a stack of small matrices folded into one): one scan
        if (ls == static_cast<ptrdiff_t>(kb)) return bf16_exact_range_avx512(src, rows * kb);
        for (size_t r = 0; r < rows; ++r)
            if (!bf16_exact_range_avx512(src + static_cast<ptrdiff_t>(r) * ls, kb)) return false;
        return true;
    }

    // C rows from `in` (null: start at 0) to `out`, float32 or, when Narrow,
    // rounded once to bfloat16 (the rounding of f32_to_bf16: the instruction
    // only differs on subnormals, which cannot occur here).
    template <size_t R, bool Narrow>
    static void body(size_t kp, const u16* a, ptrdiff_t ars, ptrdiff_t acs, const u32* bp, const float* in, void* out,
                     ptrdiff_t rs, size_t mb, size_t nb) {
        const __mmask16 m0 = mask16(nb), m1 = mask16(nb > 16 ? nb - 16 : 0);
        __m512 acc[R][2];
        ptrdiff_t off[R];
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            off[r] = r < mb ? static_cast<ptrdiff_t>(r) * ars : 0;
            if (in && r < mb) {
                acc[r][0] = _mm512_maskz_loadu_ps(m0, in + static_cast<ptrdiff_t>(r) * rs);
                acc[r][1] = _mm512_maskz_loadu_ps(m1, in + static_cast<ptrdiff_t>(r) * rs + 16);
            } else {
                acc[r][0] = acc[r][1] = _mm512_setzero_ps();
            }
        }
        for (size_t q = 0; q < kp; ++q) {
            const __m512bh b0 = (__m512bh)_mm512_load_si512(bp);
            const __m512bh b1 = (__m512bh)_mm512_load_si512(bp + 16);
#pragma GCC unroll 16
            for (size_t r = 0; r < R; ++r) {
                int32_t w;
                std::memcpy(&w, a + off[r], sizeof w);
                const __m512bh av = (__m512bh)_mm512_set1_epi32(w);
                acc[r][0] = _mm512_dpbf16_ps(acc[r][0], av, b0);
                acc[r][1] = _mm512_dpbf16_ps(acc[r][1], av, b1);
            }
            a += acs;
            bp += NR;
        }
        const __mmask32 m = static_cast<__mmask32>(m0) | static_cast<__mmask32>(m1) << 16;
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            if (r >= mb) break;
            if constexpr (Narrow) {
                u16* o = static_cast<u16*>(out) + static_cast<ptrdiff_t>(r) * rs;
                _mm512_mask_storeu_epi16(o, m, (__m512i)_mm512_cvtne2ps_pbh(acc[r][1], acc[r][0]));
            } else {
                float* o = static_cast<float*>(out) + static_cast<ptrdiff_t>(r) * rs;
                _mm512_mask_storeu_ps(o, m0, acc[r][0]);
                _mm512_mask_storeu_ps(o + 16, m1, acc[r][1]);
            }
        }
    }

    template <size_t R>
    static void kernel(size_t kp, const u16* a, ptrdiff_t ars, ptrdiff_t acs, const u32* bp, float* c,
                       ptrdiff_t rsc, size_t mb, size_t nb, bool load) {
        body<R, false>(kp, a, ars, acs, bp, load ? c : nullptr, c, rsc, mb, nb);
    }

    template <size_t R>
    static void narrow_kernel(size_t kp, const u16* a, ptrdiff_t ars, ptrdiff_t acs, const u32* bp, u16* h,
                              ptrdiff_t rsh, size_t mb, size_t nb) {
        body<R, true>(kp, a, ars, acs, bp, nullptr, h, rsh, mb, nb);
    }

    // The rounding of the kernel's narrowing store.
    static void narrow(const float* t, u16* h, ptrdiff_t cs, size_t n) {
        if (cs == 1) {
            for (size_t j = 0; j < n; j += 16)
                _mm256_mask_storeu_epi16(h + j, mask16(n - j),
                                         (__m256i)_mm512_cvtneps_pbh(_mm512_maskz_loadu_ps(mask16(n - j), t + j)));
            return;
        }
        for (size_t j = 0; j < n; ++j) h[static_cast<ptrdiff_t>(j) * cs] = f32_to_bf16(t[j]).bits;
    }
};

}  // namespace

bool bf16_avx512(const Bf16Problem& p) { return Packed<Bf16Avx512>::run(p); }

bool bf16_exact_range_avx512(const uint16_t* x, size_t n) {
    // runs before the kernel on every block of A, so it should not be latency
    // bound: two independent screens, merged at the end
    Range range, other;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        range.add(_mm512_loadu_si512(x + i));
        other.add(_mm512_loadu_si512(x + i + 32));
    }
    for (; i < n; i += 32) range.add(_mm512_maskz_loadu_epi16(mask32(n - i), x + i));
    if (other.seen) {
        range.seen = true;
        range.below = _mm512_min_epu16(range.below, other.below);
        range.top = _mm512_max_epu16(range.top, other.top);
    }
    const int screened = range.verdict();
    if (screened >= 0 || n == 0) return screened == 1 || n == 0;
    // large values are present: tell the finite ones from infinities and NaNs
    const __m512i magnitude = _mm512_set1_epi16(0x7FFF);
    const __m512i hi = _mm512_set1_epi16(kBf16ExactHigh), inf = _mm512_set1_epi16(0x7F80);
    for (size_t i = 0; i < n; i += 32) {
        const __m512i v = _mm512_and_si512(_mm512_maskz_loadu_epi16(mask32(n - i), x + i), magnitude);
        if (_mm512_mask_cmplt_epu16_mask(_mm512_cmpge_epu16_mask(v, hi), v, inf) != 0) return false;
    }
    return true;
}

}  // namespace vorka::gemm::detail

#pragma GCC pop_options
