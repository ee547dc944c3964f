// bfloat16 products with AVX512-BF16. VDPBF16PS multiplies pairs of bfloat16
// values exactly and adds both products into a float32 lane, the odd element
// first, each addition rounded to nearest-even: two float32 FMAs in sequence,
// at twice the FMA rate. It reads subnormal inputs as zero and flushes
// subnormal results, so every block of A and B is checked before use (see
// kBf16ExactLow): with those values no subnormal can arise, and the result is
// exactly the float32 sum, in k order (pairwise odd-even), of the widened
// operands' products. A block that fails the check abandons the product.
//
// Three-level blocking: a KC x NC block of B is packed as k-pairs (one 32-bit
// word per element pair) into NR-column panels that stream from L2 past one
// MR-row panel of A at a time (in L1). Rows of A that run along k already hold
// their pairs as words and are read in place; other layouts are packed.

// GCC 12 flags the deliberately undefined operands inside its own AVX-512
// intrinsics (shuffles, casts) as maybe-uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/numeric/gemm_avx512_transpose.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"
#include "support/alloc.hpp"
#include "support/checked.hpp"

#pragma GCC push_options
#pragma GCC target("avx512bf16")

namespace vorka::gemm::detail {
namespace {

constexpr size_t MR = blocking::kBf16Packed.mr;  // rows of the register tile (packed A panels)
// Rows of the tile when A is read in place: with short k a tile is only a few
// dozen instructions deep, and more accumulator chains per tile hide the
// instruction's latency and the tile's set-up better (24 of 32 registers).
constexpr size_t MRD = blocking::kBf16Direct.mr;
constexpr size_t MCD = blocking::kBf16Direct.mc;  // rows per block when A is read in place
constexpr size_t NR = blocking::kBf16Packed.nr;   // columns: two zmm of float32
constexpr size_t KC = blocking::kBf16KC;          // k per packed block; an A panel is 8 KiB (L1)
constexpr size_t MC = blocking::kBf16Packed.mc;   // rows per packed A block: 128 KiB
constexpr size_t NC = blocking::kBf16NC;          // columns per packed B block: 1 MiB
static_assert(NR == 32 && blocking::kBf16Direct.nr == NR);

using u16 = uint16_t;
using u32 = uint32_t;

using Scratch = PackScratch<u32>;

__mmask32 mask32(size_t lanes) { return lanes >= 32 ? ~__mmask32{0} : (__mmask32{1} << lanes) - 1; }
__mmask16 mask16(size_t lanes) { return lanes >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << lanes) - 1); }
__mmask8 mask8(size_t lanes) { return lanes >= 8 ? __mmask8(0xFF) : __mmask8((1u << lanes) - 1); }

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
// out(q) receives the 16 lines' words for pair q0 + q.
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

// Packs rows [0, mb) x k [0, kb) of A into MR-row panels: panel p holds, for
// each pair q, the MR words of its rows (rows past mb are zero).
void pack_a(const u16* a, ptrdiff_t rsa, ptrdiff_t csa, size_t mb, size_t kb, u32* dst) {
    const size_t kp = (kb + 1) / 2;
    const size_t panels = (mb + MR - 1) / MR;
    if (csa == 1) {
        for (size_t i0 = 0; i0 < mb; i0 += 16) {
            u32* p0 = dst + (i0 / MR) * MR * kp;
            u32* p1 = p0 + MR * kp;
            const bool two = i0 + MR < mb;
            gather_pairs16(a + static_cast<ptrdiff_t>(i0) * rsa, rsa, std::min<size_t>(16, mb - i0), kb,
                           [&](size_t q, __m512i w) {
                               _mm256_store_si256(reinterpret_cast<__m256i*>(p0 + q * MR),
                                                  _mm512_castsi512_si256(w));
                               if (two)
                                   _mm256_store_si256(reinterpret_cast<__m256i*>(p1 + q * MR),
                                                      _mm512_extracti64x4_epi64(w, 1));
                           });
        }
        return;
    }
    if (rsa == 1) {
        for (size_t p = 0; p < panels; ++p) {
            const size_t i0 = p * MR;
            const __mmask8 rm = mask8(mb - i0);
            u32* d = dst + p * MR * kp;
            for (size_t q = 0; q < kp; ++q) {
                const u16* col = a + static_cast<ptrdiff_t>(2 * q) * csa + static_cast<ptrdiff_t>(i0);
                const __m128i x = _mm_maskz_loadu_epi16(rm, col);
                const __m128i y = 2 * q + 1 < kb ? _mm_maskz_loadu_epi16(rm, col + csa) : _mm_setzero_si128();
                _mm_store_si128(reinterpret_cast<__m128i*>(d + q * MR), _mm_unpacklo_epi16(x, y));
                _mm_store_si128(reinterpret_cast<__m128i*>(d + q * MR + 4), _mm_unpackhi_epi16(x, y));
            }
        }
        return;
    }
    for (size_t p = 0; p < panels; ++p)
        for (size_t q = 0; q < kp; ++q)
            for (size_t r = 0; r < MR; ++r) {
                const size_t i = p * MR + r;
                dst[(p * kp + q) * MR + r] =
                    i < mb ? pair_at(a + static_cast<ptrdiff_t>(i) * rsa, csa, q, kb) : 0u;
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

// Packs k [0, kb) x columns [0, nb) of B into NR-column panels: panel p
// holds, for each pair q, the NR words of its columns (past nb: zero). The
// row-major path feeds what it reads to `range`; the others leave it empty.
void pack_b(const u16* b, ptrdiff_t rsb, ptrdiff_t csb, size_t kb, size_t nb, u32* dst, Range& range) {
    const size_t kp = (kb + 1) / 2;
    const size_t panels = (nb + NR - 1) / NR;
    if (csb == 1) {
        const Interleave ix;
        for (size_t p = 0; p < panels; ++p) {
            const size_t j0 = p * NR;
            const __mmask32 cm = mask32(nb - j0);
            u32* d = dst + p * NR * kp;
            for (size_t q = 0; q < kp; ++q) {
                const u16* row = b + static_cast<ptrdiff_t>(2 * q) * rsb + static_cast<ptrdiff_t>(j0);
                const __m512i x = _mm512_maskz_loadu_epi16(cm, row);
                const __m512i y = 2 * q + 1 < kb ? _mm512_maskz_loadu_epi16(cm, row + rsb) : _mm512_setzero_si512();
                range.add(x);
                range.add(y);
                _mm512_store_si512(d + q * NR, _mm512_permutex2var_epi16(x, ix.lo, y));
                _mm512_store_si512(d + q * NR + 16, _mm512_permutex2var_epi16(x, ix.hi, y));
            }
        }
        return;
    }
    if (rsb == 1) {
        for (size_t j0 = 0; j0 < nb; j0 += 16) {
            u32* d = dst + (j0 / NR) * NR * kp + j0 % NR;
            gather_pairs16(b + static_cast<ptrdiff_t>(j0) * csb, csb, std::min<size_t>(16, nb - j0), kb,
                           [&](size_t q, __m512i w) { _mm512_store_si512(d + q * NR, w); });
        }
        // a panel's second half past nb must still read as zero
        if (nb % NR != 0 && nb % NR <= 16) {
            u32* d = dst + (panels - 1) * NR * kp + 16;
            for (size_t q = 0; q < kp; ++q) _mm512_store_si512(d + q * NR, _mm512_setzero_si512());
        }
        return;
    }
    for (size_t p = 0; p < panels; ++p)
        for (size_t q = 0; q < kp; ++q)
            for (size_t c = 0; c < NR; ++c) {
                const size_t j = p * NR + c;
                dst[(p * kp + q) * NR + c] = j < nb ? pair_at(b + static_cast<ptrdiff_t>(j) * csb, rsb, q, kb) : 0u;
            }
}

// The pairs of an A panel: pair q of row r is the word at base + r * rs +
// q * step (16-bit units): a packed panel, or rows of A read in place.
struct ASource {
    const u16* base;
    ptrdiff_t rs, step;
};

// Rows of C's partial sums, from `in` (null: start at 0) to `out`, float32
// or, when Narrow, rounded once to bfloat16 (the rounding of f32_to_bf16: the
// instruction only differs on subnormals, which cannot occur here). Rows are
// `rsi`/`rso` elements apart, columns contiguous; masks select the columns.
template <bool Narrow, size_t R>
void kernel(size_t kp, const ASource& A, const u32* bp, const float* in, ptrdiff_t rsi, void* out, ptrdiff_t rso,
            size_t mb, __mmask16 m0, __mmask16 m1) {
    __m512 acc[R][2];
    ptrdiff_t off[R];
    const u16* ap = A.base;
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
        off[r] = r < mb ? static_cast<ptrdiff_t>(r) * A.rs : 0;
        if (in && r < mb) {
            acc[r][0] = _mm512_maskz_loadu_ps(m0, in + static_cast<ptrdiff_t>(r) * rsi);
            acc[r][1] = _mm512_maskz_loadu_ps(m1, in + static_cast<ptrdiff_t>(r) * rsi + 16);
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
            std::memcpy(&w, ap + off[r], sizeof w);
            const __m512bh av = (__m512bh)_mm512_set1_epi32(w);
            acc[r][0] = _mm512_dpbf16_ps(acc[r][0], av, b0);
            acc[r][1] = _mm512_dpbf16_ps(acc[r][1], av, b1);
        }
        ap += A.step;
        bp += NR;
    }
    const __mmask32 m = static_cast<__mmask32>(m0) | static_cast<__mmask32>(m1) << 16;
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
        if (r >= mb) break;
        if constexpr (Narrow) {
            u16* o = static_cast<u16*>(out) + static_cast<ptrdiff_t>(r) * rso;
            _mm512_mask_storeu_epi16(o, m, (__m512i)_mm512_cvtne2ps_pbh(acc[r][1], acc[r][0]));
        } else {
            float* o = static_cast<float*>(out) + static_cast<ptrdiff_t>(r) * rso;
            _mm512_mask_storeu_ps(o, m0, acc[r][0]);
            _mm512_mask_storeu_ps(o + 16, m1, acc[r][1]);
        }
    }
}

// The same for one tile at any strides: through a dense buffer unless the
// columns of `in` and `out` are contiguous.
template <bool Narrow, size_t R>
void tile(size_t kp, const ASource& ap, const u32* bp, const float* in, ptrdiff_t rsi, ptrdiff_t csi, void* out,
          ptrdiff_t rso, ptrdiff_t cso, size_t mb, size_t nb) {
    const __mmask16 m0 = mask16(nb), m1 = mask16(nb > 16 ? nb - 16 : 0);
    if ((!in || csi == 1) && cso == 1) {
        kernel<Narrow, R>(kp, ap, bp, in, rsi, out, rso, mb, m0, m1);
        return;
    }
    alignas(64) float t[R * NR];
    if (in)
        for (size_t r = 0; r < mb; ++r)
            for (size_t j = 0; j < nb; ++j)
                t[r * NR + j] = in[static_cast<ptrdiff_t>(r) * rsi + static_cast<ptrdiff_t>(j) * csi];
    kernel<false, R>(kp, ap, bp, in ? t : nullptr, NR, t, NR, mb, m0, m1);
    for (size_t r = 0; r < mb; ++r)
        for (size_t j = 0; j < nb; ++j) {
            const ptrdiff_t o = static_cast<ptrdiff_t>(r) * rso + static_cast<ptrdiff_t>(j) * cso;
            if constexpr (Narrow)
                static_cast<u16*>(out)[o] = f32_to_bf16(t[r * NR + j]).bits;
            else
                static_cast<float*>(out)[o] = t[r * NR + j];
        }
}

void prefetch_tile(const float* c, ptrdiff_t rsc, size_t rows) {
    for (size_t r = 0; r < rows; ++r) {
        const char* row = reinterpret_cast<const char*>(c + static_cast<ptrdiff_t>(r) * rsc);
        _mm_prefetch(row, _MM_HINT_T0);
        _mm_prefetch(row + 64, _MM_HINT_T0);
        _mm_prefetch(row + NR * sizeof(float) - 1, _MM_HINT_T0);  // a row may straddle three lines
    }
}

// Where one product's sums go: float32 C, or bfloat16 C with float32
// partial sums kept in `scratch` (m x n, row-major) between k blocks.
struct Out {
    float* f;
    u16* h;
    ptrdiff_t rs, cs;
    float* scratch;
};

// A packed block holds only values whose products are exact and normal.
bool exact(const u32* words, size_t n) { return bf16_exact_range_avx512(reinterpret_cast<const u16*>(words), 2 * n); }

// `a_ready`: A is one block shared by every item of the batch, already
// checked and (unless read in place) packed into abuf.
template <bool Narrow>
bool product(const Bf16Problem& P, const u16* a, const u16* b, const Out& o, u32* abuf, u32* bbuf, bool a_ready) {
    const ptrdiff_t ldw = static_cast<ptrdiff_t>(P.n);
    for (size_t jc = 0; jc < P.n; jc += NC) {
        const size_t nc = std::min(NC, P.n - jc);
        for (size_t pc = 0; pc < P.k; pc += KC) {
            const size_t kb = std::min(KC, P.k - pc), kp = (kb + 1) / 2;
            const bool first = pc == 0, last = pc + kb == P.k;
            Range range;
            pack_b(b + static_cast<ptrdiff_t>(pc) * P.b.rs + static_cast<ptrdiff_t>(jc) * P.b.cs, P.b.rs, P.b.cs, kb,
                   nc, bbuf, range);
            const int screened = range.verdict();
            if (screened == 0 || (screened < 0 && !exact(bbuf, (nc + NR - 1) / NR * NR * kp))) return false;
            // Rows of A whose pairs are whole words (even kb) are read in
            // place, which saves transposing them; the rest is packed.
            const bool direct = P.a.cs == 1 && kb % 2 == 0;
            const size_t mcb = direct ? MCD : MC;
            for (size_t ic = 0; ic < P.m; ic += mcb) {
                const size_t mc = std::min(mcb, P.m - ic);
                const u16* ak = a + static_cast<ptrdiff_t>(ic) * P.a.rs + static_cast<ptrdiff_t>(pc) * P.a.cs;
                if (a_ready) {
                } else if (direct && P.a.rs == static_cast<ptrdiff_t>(kb)) {
                    // rows back to back (a stack of small matrices folded into one): one scan
                    if (!bf16_exact_range_avx512(ak, mc * kb)) return false;
                } else if (direct) {
                    for (size_t r = 0; r < mc; ++r)
                        if (!bf16_exact_range_avx512(ak + static_cast<ptrdiff_t>(r) * P.a.rs, kb)) return false;
                } else {
                    pack_a(ak, P.a.rs, P.a.cs, mc, kb, abuf);
                    if (!exact(abuf, (mc + MR - 1) / MR * MR * kp)) return false;
                }
                // One A panel stays in L1 while the B panels stream past it from L2.
                auto panel = [&]<size_t R>(size_t ir, const ASource& ap) {
                    const size_t mb = std::min(R, mc - ir);
                    const ptrdiff_t i = static_cast<ptrdiff_t>(ic + ir);
                    for (size_t jr = 0; jr < nc; jr += NR) {
                        const ptrdiff_t j = static_cast<ptrdiff_t>(jc + jr);
                        const size_t nb = std::min(NR, nc - jr);
                        const u32* bp = bbuf + (jr / NR) * NR * kp;
                        // partial sums of earlier k blocks: in C itself, or in scratch
                        const float* in = nullptr;
                        ptrdiff_t rsi = 0, csi = 0;
                        if (!first) {
                            if (Narrow)
                                in = o.scratch + i * ldw + j, rsi = ldw, csi = 1;
                            else
                                in = o.f + i * o.rs + j * o.cs, rsi = o.rs, csi = o.cs;
                            // they come from far caches by now: fetch the next tile's
                            // a whole kernel ahead of its use
                            if (csi == 1 && jr + NR < nc) prefetch_tile(in + NR, rsi, mb);
                        }
                        if (!last && Narrow)
                            tile<false, R>(kp, ap, bp, in, rsi, csi, o.scratch + i * ldw + j, ldw, 1, mb, nb);
                        else if (Narrow)
                            tile<true, R>(kp, ap, bp, in, rsi, csi, o.h + i * o.rs + j * o.cs, o.rs, o.cs, mb, nb);
                        else
                            tile<false, R>(kp, ap, bp, in, rsi, csi, o.f + i * o.rs + j * o.cs, o.rs, o.cs, mb, nb);
                    }
                };
                if (direct) {
                    // Back-to-back rows stream from memory: fetch the next block's
                    // rows while this one computes, so its scan finds them near.
                    const bool stream = P.a.rs == static_cast<ptrdiff_t>(kb) && ic + mc < P.m && !a_ready;
                    const size_t ahead = stream ? std::min(mcb, P.m - ic - mc) * kb * sizeof(u16) : 0;
                    const char* next =
                        stream ? reinterpret_cast<const char*>(ak + static_cast<ptrdiff_t>(mc) * P.a.rs) : nullptr;
                    const size_t step = (ahead + mc - 1) / mc * MRD;  // bytes per tile, spread evenly
                    for (size_t ir = 0; ir < mc; ir += MRD) {
                        if (stream)
                            for (size_t off = ir / MRD * step; off < std::min(ahead, ir / MRD * step + step); off += 64)
                                _mm_prefetch(next + off, _MM_HINT_T0);
                        panel.template operator()<MRD>(ir, ASource{ak + static_cast<ptrdiff_t>(ir) * P.a.rs, P.a.rs, 2});
                    }
                } else {
                    for (size_t ir = 0; ir < mc; ir += MR)
                        panel.template operator()<MR>(
                            ir, ASource{reinterpret_cast<const u16*>(abuf + (ir / MR) * MR * kp), 2,
                                        2 * static_cast<ptrdiff_t>(MR)});
                }
            }
        }
    }
    return true;
}

// A stack of small B items (one per product) would otherwise stall on each
// item's first use: the next one is fetched while the current one computes.
void prefetch_small(const u16* b, size_t rows, size_t cols, ptrdiff_t rs, ptrdiff_t cs) {
    if (rows * cols > 32768) return;
    if (cs != 1) {
        if (rs != 1) return;
        std::swap(rows, cols);
        std::swap(rs, cs);
    }
    for (size_t r = 0; r < rows; ++r) {
        const char* line = reinterpret_cast<const char*>(b + static_cast<ptrdiff_t>(r) * rs);
        for (size_t off = 0; off < cols * sizeof(u16); off += 64) _mm_prefetch(line + off, _MM_HINT_T0);
        _mm_prefetch(line + cols * sizeof(u16) - 1, _MM_HINT_T0);
    }
}

}  // namespace

bool bf16_avx512(const Bf16Problem& P) {
    if (P.batch == 0 || P.m == 0 || P.n == 0) return true;
    thread_local Scratch abuf, bbuf;
    const size_t kp = (std::min(KC, P.k) + 1) / 2;
    u32* ap = abuf.get(((std::min(MC, P.m) + MR - 1) / MR) * MR * kp);
    u32* bp = bbuf.get(((std::min(NC, P.n) + NR - 1) / NR) * NR * kp);
    // bfloat16 results need float32 partial sums only when k spans several blocks
    std::unique_ptr<float, decltype(&std::free)> partial(nullptr, &std::free);
    if (P.h != nullptr && P.k > KC) {
        partial.reset(static_cast<float*>(aligned_block(alloc_bytes(alloc_bytes(P.m, P.n), sizeof(float)))));
    }
    // A shared by every item and within one block is checked and packed by the
    // first item only.
    const bool shared_a = P.a.bs == 0 && P.m <= MC && P.k <= KC;
    for (size_t t = 0; t < P.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        const Out o{P.c.p ? P.c.p + it * P.c.bs : nullptr, P.h ? P.h + it * P.c.bs : nullptr, P.c.rs, P.c.cs, partial.get()};
        if (P.k == 0) {
            for (size_t i = 0; i < P.m; ++i)
                for (size_t j = 0; j < P.n; ++j) {
                    const ptrdiff_t off = static_cast<ptrdiff_t>(i) * P.c.rs + static_cast<ptrdiff_t>(j) * P.c.cs;
                    if (o.h)
                        o.h[off] = 0;
                    else
                        o.f[off] = 0.0f;
                }
            continue;
        }
        const u16* a = P.a.p + it * P.a.bs;
        const u16* b = P.b.p + it * P.b.bs;
        if (t + 1 < P.batch && P.b.bs != 0) prefetch_small(b + P.b.bs, P.k, P.n, P.b.rs, P.b.cs);
        if (!(o.h ? product<true>(P, a, b, o, ap, bp, t > 0 && shared_a)
                  : product<false>(P, a, b, o, ap, bp, t > 0 && shared_a)))
            return false;
    }
    return true;
}

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
