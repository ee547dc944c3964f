// Packed, cache-blocked product for AVX2 + FMA + F16C, for float16 operands
// widened while they are packed: no float32 copy of either operand exists.
// The blocking follows the AVX-512 kernel: a KC x NC block of B is packed
// into NR-column panels (kept in L2) that stream past one MR-row panel of A
// at a time (kept in L1). Each element of C is one FMA chain in k order,
// resumed across k blocks, so the sums are bit for bit those of the AVX-512
// kernel whatever the tile shapes.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace vorka::gemm::detail {
namespace {

constexpr size_t MR = 6;   // rows of the register tile: 12 accumulators, 2 B vectors, 1 broadcast
constexpr size_t NR = 16;  // columns: two ymm
constexpr size_t KC = kPackedKC;
constexpr size_t MC = 32 * MR;  // rows per packed A block

// Columns per packed B block (1 MiB L2 when the CPU does not say).
size_t nc_block() { return detail::nc_block<NR, KC>(1L << 20); }

// Eight consecutive float16 values widened; fewer than 8 available are
// zero-padded (nothing past them is read).
__m256 widen8(const uint16_t* p, size_t count) {
    if (count >= 8) return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    alignas(16) uint16_t t[8] = {};
    std::memcpy(t, p, count * sizeof(uint16_t));
    return _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}
float widen1(uint16_t h) { return _cvtsh_ss(h); }

// r[i] holds row i; afterwards r[j] holds column j.
void transpose8(__m256 r[8]) {
    __m256 t[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    __m256 u[8];
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
        u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
        u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
        u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
        r[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
    }
}

const __m256i kFirst6 = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);

// Packs `lines` lines of `kb` elements (element p of line i at i * ls + p * es)
// into panels of `width` (MR or NR) lines: panel q holds rows p of `width`
// floats, dst[q * width * kb + p * width + r] = line q * width + r, zero past
// `lines`. B's lines contiguous along k are transposed 8 x 8 at a time; with
// ls == 1 each k step is one contiguous run.
void pack(const uint16_t* src, ptrdiff_t ls, ptrdiff_t es, size_t lines, size_t kb, size_t width, float* dst) {
    const size_t panels = (lines + width - 1) / width;
    if (ls == 1) {
        // k steps in order, so that the hardware prefetcher keeps up
        for (size_t p = 0; p < kb; ++p) {
            const uint16_t* s = src + static_cast<ptrdiff_t>(p) * es;
            for (size_t q = 0; q < panels; ++q) {
                const size_t i0 = q * width, left = lines - i0;
                float* d = dst + q * width * kb + p * width;
                if (width == NR) {
                    _mm256_store_ps(d, widen8(s + i0, left));
                    _mm256_store_ps(d + 8, widen8(s + i0 + 8, left > 8 ? left - 8 : 0));
                } else {
                    _mm256_maskstore_ps(d, kFirst6, widen8(s + i0, std::min<size_t>(left, 8)));
                }
            }
        }
        return;
    }
    for (size_t q = 0; q < panels; ++q) {
        const uint16_t* s = src + static_cast<ptrdiff_t>(q * width) * ls;
        float* d = dst + q * width * kb;
        const size_t n = std::min(width, lines - q * width);
        size_t r0 = 0, p0 = 0;
        if (es == 1 && n == NR) {  // whole B panels, 8 x 8 at a time
            p0 = kb / 8 * 8;
            for (; r0 < n; r0 += 8)
                for (size_t p = 0; p < p0; p += 8) {
                    __m256 v[8];
                    for (size_t r = 0; r < 8; ++r)
                        v[r] = widen8(s + static_cast<ptrdiff_t>(r0 + r) * ls + static_cast<ptrdiff_t>(p), 8);
                    transpose8(v);
                    for (size_t c = 0; c < 8; ++c) _mm256_store_ps(d + (p + c) * NR + r0, v[c]);
                }
        }
        for (size_t p = p0; p < kb; ++p)
            for (size_t r = 0; r < width; ++r)
                d[p * width + r] =
                    r < n ? widen1(s[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p) * es]) : 0.0f;
    }
}

// Row i of the rows x kb block at src (rows ls apart, unit stride along k)
// widened to dst + i * kb; MR rows past the end of a partial last panel are
// zeros, since the kernel reads whole panels.
void widen_rows(const uint16_t* src, ptrdiff_t ls, size_t rows, size_t kb, float* dst) {
    for (size_t i = 0; i < rows; ++i, src += ls, dst += kb) {
        size_t p = 0;
        for (; p + 8 <= kb; p += 8) _mm256_storeu_ps(dst + p, widen8(src + p, 8));
        for (; p < kb; ++p) dst[p] = widen1(src[p]);
    }
    std::memset(dst, 0, ((rows + MR - 1) / MR * MR - rows) * kb * sizeof(float));
}

// C[0, MR) x [0, NR) at rows `rsc` apart, columns contiguous = its previous
// value when `load`, else 0, plus kb steps of the packed panels.
[[gnu::always_inline]] inline void kernel(size_t kb, const float* ap, ptrdiff_t ars, ptrdiff_t acs,
                                          const float* bp, float* c, ptrdiff_t rsc, bool load) {
    ptrdiff_t off[MR];
#pragma GCC unroll 6
    for (size_t r = 0; r < MR; ++r) off[r] = static_cast<ptrdiff_t>(r) * ars;
    __m256 acc[MR][2];
#pragma GCC unroll 6
    for (size_t r = 0; r < MR; ++r) {
        acc[r][0] = load ? _mm256_loadu_ps(c + static_cast<ptrdiff_t>(r) * rsc) : _mm256_setzero_ps();
        acc[r][1] = load ? _mm256_loadu_ps(c + static_cast<ptrdiff_t>(r) * rsc + 8) : _mm256_setzero_ps();
    }
    for (size_t p = 0; p < kb; ++p) {
        const __m256 b0 = _mm256_load_ps(bp), b1 = _mm256_load_ps(bp + 8);
#pragma GCC unroll 6
        for (size_t r = 0; r < MR; ++r) {
            const __m256 av = _mm256_broadcast_ss(ap + off[r]);
            acc[r][0] = _mm256_fmadd_ps(av, b0, acc[r][0]);
            acc[r][1] = _mm256_fmadd_ps(av, b1, acc[r][1]);
        }
        ap += acs;
        bp += NR;
    }
#pragma GCC unroll 6
    for (size_t r = 0; r < MR; ++r) {
        _mm256_storeu_ps(c + static_cast<ptrdiff_t>(r) * rsc, acc[r][0]);
        _mm256_storeu_ps(c + static_cast<ptrdiff_t>(r) * rsc + 8, acc[r][1]);
    }
}

// One mb x nb tile of C at any strides: in place when it is whole with
// contiguous columns, else through a dense buffer. `h` (not null): rounded to
// float16 as stored instead (k in one block, so C starts at zero).
void tile(size_t kb, const float* ap, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c, uint16_t* h,
          ptrdiff_t rsc, ptrdiff_t csc, size_t mb, size_t nb, bool load) {
    if (!h && csc == 1 && mb == MR && nb == NR) {
        kernel(kb, ap, ars, acs, bp, c, rsc, load);
        return;
    }
    alignas(32) float t[MR * NR];
    if (load) std::memset(t, 0, sizeof t);  // the kernel reads the whole tile
    if (load)
        for (size_t r = 0; r < mb; ++r)
            for (size_t j = 0; j < nb; ++j)
                t[r * NR + j] = c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc];
    kernel(kb, ap, ars, acs, bp, t, NR, load);
    for (size_t r = 0; r < mb; ++r) {
        const float* tr = t + r * NR;
        if (!h) {
            for (size_t j = 0; j < nb; ++j) c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc] = tr[j];
            continue;
        }
        uint16_t* row = h + static_cast<ptrdiff_t>(r) * rsc;
        size_t j = 0;
        if (csc == 1)
            for (; j + 8 <= nb; j += 8)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(row + j),
                                 _mm256_cvtps_ph(_mm256_load_ps(tr + j), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        for (; j < nb; ++j) row[static_cast<ptrdiff_t>(j) * csc] = _cvtss_sh(tr[j], _MM_FROUND_TO_NEAREST_INT);
    }
}

void product(const HalfProblem& P, const uint16_t* a, const uint16_t* b, float* c, uint16_t* h, float* abuf,
             float* bbuf, bool a_ready) {
    const size_t NC = nc_block();
    for (size_t jc = 0; jc < P.n; jc += NC) {
        const size_t nc = std::min(NC, P.n - jc);
        for (size_t pc = 0; pc < P.k; pc += KC) {
            const size_t kb = std::min(KC, P.k - pc);
            pack(b + static_cast<ptrdiff_t>(pc) * P.rsb + static_cast<ptrdiff_t>(jc) * P.csb, P.csb, P.rsb, nc, kb,
                 NR, bbuf);
            for (size_t ic = 0; ic < P.m; ic += MC) {
                const size_t mc = std::min(MC, P.m - ic);
                // Rows along k are widened into a row-major block, which the
                // kernel reads MR rows side by side: cheaper than transposing
                // them into panels.
                const uint16_t* ak = a + static_cast<ptrdiff_t>(ic) * P.rsa + static_cast<ptrdiff_t>(pc) * P.csa;
                const bool rows = P.csa == 1;
                if (!a_ready) {
                    if (rows)
                        widen_rows(ak, P.rsa, mc, kb, abuf);
                    else
                        pack(ak, P.rsa, P.csa, mc, kb, MR, abuf);
                }
                const ptrdiff_t ars = rows ? static_cast<ptrdiff_t>(kb) : 1;
                const ptrdiff_t acs = rows ? 1 : static_cast<ptrdiff_t>(MR);
                // The next block of rows is fetched while this one computes:
                // widening it at once would wait on memory.
                const bool fetch = rows && !a_ready && ic + MC < P.m;
                for (size_t ir = 0; ir < mc; ir += MR) {
                    const float* ap = abuf + ir * kb;
                    if (fetch)
                        for (size_t r = ic + MC + ir; r < std::min(P.m, ic + MC + ir + MR); ++r) {
                            const char* row = reinterpret_cast<const char*>(a + static_cast<ptrdiff_t>(r) * P.rsa +
                                                                            static_cast<ptrdiff_t>(pc));
                            for (size_t b = 0; b < kb * sizeof(uint16_t); b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
                            _mm_prefetch(row + kb * sizeof(uint16_t) - 1, _MM_HINT_T0);
                        }
                    const size_t mb = std::min(MR, mc - ir);
                    const ptrdiff_t row = static_cast<ptrdiff_t>(ic + ir) * P.rsc;
                    for (size_t jr = 0; jr < nc; jr += NR) {
                        const ptrdiff_t at = row + static_cast<ptrdiff_t>(jc + jr) * P.csc;
                        tile(kb, ap, ars, acs, bbuf + jr * kb, c ? c + at : nullptr, h ? h + at : nullptr, P.rsc, P.csc, mb,
                             std::min(NR, nc - jr), pc > 0);
                    }
                }
            }
        }
    }
}

}  // namespace

void packed_avx2_f16(const HalfProblem& P) {
    packed_batch<MR, NR, MC>(P, nc_block(), [&](auto... item) { product(P, item...); });
}

}  // namespace vorka::gemm::detail
