// Kernel traits of the packed product for AVX2 + FMA + F16C: 6 x 16 register
// tiles (12 accumulators, 2 B vectors, 1 broadcast), float32 operands or
// float16 ones widened while they are packed. AVX2's masked stores are slow on
// AMD parts, so partial tiles go through the driver's buffer.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/numeric/gemm_driver.hpp"

namespace vorka::gemm::detail {
namespace {

// Eight consecutive values widened; fewer than 8 available are zero-padded
// (nothing past them is read).
__m256 widen8(const uint16_t* p, size_t count) {
    if (count >= 8) return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    alignas(16) uint16_t t[8] = {};
    std::memcpy(t, p, count * sizeof(uint16_t));
    return _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}
__m256 widen8(const float* p, size_t count) {
    if (count >= 8) return _mm256_loadu_ps(p);
    alignas(32) float t[8] = {};
    std::memcpy(t, p, count * sizeof(float));
    return _mm256_load_ps(t);
}

// r[i] holds row i; afterwards r[j] holds column j.
void transpose_regs(__m256 r[8]) {
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

struct Avx2 {
    static constexpr size_t MR = blocking::kPackedAvx2.mr, NR = blocking::kPackedAvx2.nr;
    static constexpr size_t MC = blocking::kPackedAvx2.mc;
    static constexpr bool kEdgesInPlace = false;
    static_assert(NR == 16);

    template <class S>
    static void widen(const S* src, size_t n, float* dst, size_t width) {
        size_t j = 0;
        for (; j + 8 <= width; j += 8) _mm256_storeu_ps(dst + j, widen8(src + j, n > j ? n - j : 0));
        if (j < width) {
            alignas(32) float t[8];
            _mm256_store_ps(t, widen8(src + j, n > j ? n - j : 0));
            std::memcpy(dst + j, t, (width - j) * sizeof(float));
        }
    }
    static float widen1(float x) { return x; }
    static float widen1(uint16_t h) { return _cvtsh_ss(h); }

    template <class S>
    static void transpose8(const S* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
        __m256 v[8];
        for (ptrdiff_t r = 0; r < 8; ++r) v[r] = widen8(src + r * ls, 8);
        transpose_regs(v);
        for (ptrdiff_t c = 0; c < 8; ++c) _mm256_storeu_ps(dst + c * ld, v[c]);
    }

    [[gnu::always_inline]] static inline void kernel(size_t kb, const float* ap, ptrdiff_t ars, ptrdiff_t acs,
                                                     const float* bp, float* c, ptrdiff_t rsc, size_t mb, size_t,
                                                     bool load) {
        ptrdiff_t off[MR];
#pragma GCC unroll 6
        for (size_t r = 0; r < MR; ++r) off[r] = r < mb ? static_cast<ptrdiff_t>(r) * ars : 0;
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

    static void narrow(const float* t, uint16_t* h, ptrdiff_t cs, size_t n) {
        size_t j = 0;
        if (cs == 1)
            for (; j + 8 <= n; j += 8)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(h + j),
                                 _mm256_cvtps_ph(_mm256_loadu_ps(t + j), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        for (; j < n; ++j) h[static_cast<ptrdiff_t>(j) * cs] = _cvtss_sh(t[j], _MM_FROUND_TO_NEAREST_INT);
    }
};

}  // namespace

void packed_avx2(const Problem& p) { Packed<Avx2>::run(p); }
void packed_avx2_f16(const HalfProblem& p) { Packed<Avx2>::run(p); }

}  // namespace vorka::gemm::detail
