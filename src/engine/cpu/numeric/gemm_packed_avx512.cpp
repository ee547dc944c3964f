// Kernel traits of the packed product for AVX-512: 8 x 32 register tiles,
// float32 operands or float16 ones widened while they are packed. Lane masks
// let partial tiles be read and written in place.

// GCC 12 flags the deliberately undefined operands inside its own AVX-512
// intrinsics (shuffles, casts) as maybe-uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/numeric/gemm_avx512_transpose.hpp"
#include "engine/cpu/numeric/gemm_driver.hpp"

namespace vorka::gemm::detail {
namespace {

__mmask16 mask16(size_t lanes) { return lanes >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << lanes) - 1); }

__m512 load16(__mmask16 m, const float* p) { return _mm512_maskz_loadu_ps(m, p); }
__m512 load16(__mmask16 m, const uint16_t* p) { return _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, p)); }

struct Avx512 {
    static constexpr size_t MR = blocking::kPackedAvx512.mr, NR = blocking::kPackedAvx512.nr;
    static constexpr size_t MC = blocking::kPackedAvx512.mc;
    static constexpr size_t NV = NR / 16;  // zmm per row of the tile
    static constexpr bool kEdgesInPlace = true;
    static_assert(NR % 16 == 0);

    template <class S>
    static void widen(const S* src, size_t n, float* dst, size_t width) {
        for (size_t j = 0; j < width; j += 16)
            _mm512_mask_storeu_ps(dst + j, mask16(width - j), load16(mask16(n > j ? n - j : 0), src + j));
    }
    static float widen1(float x) { return x; }
    static float widen1(uint16_t h) { return _cvtsh_ss(h); }
    static void transpose8(const float* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
        detail::transpose8(src, ls, dst, ld);
    }
    static void transpose8(const uint16_t* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
        alignas(32) float t[64];
        for (ptrdiff_t r = 0; r < 8; ++r)
            _mm256_store_ps(t + 8 * r, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + r * ls))));
        detail::transpose8(t, 8, dst, ld);
    }

    static void kernel(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c,
                       ptrdiff_t rsc, size_t mb, size_t nb, bool load) {
        __mmask16 m[NV];
        for (size_t v = 0; v < NV; ++v) m[v] = mask16(nb > 16 * v ? nb - 16 * v : 0);
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
            for (size_t v = 0; v < NV; ++v)
                _mm512_mask_storeu_ps(c + static_cast<ptrdiff_t>(r) * rsc + 16 * v, m[v], acc[r][v]);
        }
    }

    static void narrow(const float* t, uint16_t* h, ptrdiff_t cs, size_t n) {
        if (cs == 1) {
            for (size_t j = 0; j < n; j += 16)
                _mm256_mask_storeu_epi16(h + j, mask16(n - j),
                                         _mm512_cvtps_ph(_mm512_maskz_loadu_ps(mask16(n - j), t + j),
                                                         _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
            return;
        }
        for (size_t j = 0; j < n; ++j) h[static_cast<ptrdiff_t>(j) * cs] = _cvtss_sh(t[j], _MM_FROUND_TO_NEAREST_INT);
    }
};

}  // namespace

void packed_avx512(const Problem& p) { Packed<Avx512>::run(p); }
void packed_avx512_f16(const HalfProblem& p) { Packed<Avx512>::run(p); }

}  // namespace vorka::gemm::detail
