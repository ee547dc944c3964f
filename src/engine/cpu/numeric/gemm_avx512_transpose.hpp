// Transposes of 32-bit lanes shared by the AVX-512 packing routines.
// Include only from translation units compiled for AVX-512.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace vorka::gemm::detail {

// Lane indices for the four stages of transpose16: stage s exchanges blocks
// of b = 8 >> s columns between rows i and i + b.
struct TransposeIndex {
    alignas(64) int lo[4][16];
    alignas(64) int hi[4][16];
};
constexpr TransposeIndex make_transpose_index() {
    TransposeIndex t{};
    for (int s = 0; s < 4; ++s) {
        const int b = 8 >> s;
        for (int c = 0; c < 16; ++c) {
            t.lo[s][c] = (c & b) ? 16 + c - b : c;
            t.hi[s][c] = (c & b) ? 16 + c : c + b;
        }
    }
    return t;
}
constexpr TransposeIndex kTransposeIndex = make_transpose_index();

// Transposes the 16 x 16 block held one row per register.
[[gnu::always_inline]] inline void transpose16(__m512* r) {
#pragma GCC unroll 4
    for (int s = 0; s < 4; ++s) {
        const int b = 8 >> s;
        const __m512i il = _mm512_load_si512(kTransposeIndex.lo[s]);
        const __m512i ih = _mm512_load_si512(kTransposeIndex.hi[s]);
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i & b) continue;
            const __m512 x = r[i], y = r[i + b];
            r[i] = _mm512_permutex2var_ps(x, il, y);
            r[i + b] = _mm512_permutex2var_ps(x, ih, y);
        }
    }
}

// dst[p * ld + i] = src[i * ls + p] for an 8 x 8 block of floats. Rows are
// loaded in 128-bit halves paired across 256-bit lanes, which leaves only
// in-lane shuffles: cheaper on Zen 4 than two-source permutes of whole zmm.
[[gnu::always_inline]] inline void transpose8(const float* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
    __m256 r[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const float* row = src + (i & 3) * ls + (i >> 2) * 4;
        r[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(row)), _mm_loadu_ps(row + 4 * ls), 1);
    }
#pragma GCC unroll 2
    for (int h = 0; h < 8; h += 4) {
        const __m256 t0 = _mm256_unpacklo_ps(r[h + 0], r[h + 1]), t1 = _mm256_unpackhi_ps(r[h + 0], r[h + 1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[h + 2], r[h + 3]), t3 = _mm256_unpackhi_ps(r[h + 2], r[h + 3]);
        _mm256_storeu_ps(dst + (h + 0) * ld, _mm256_shuffle_ps(t0, t2, 0x44));
        _mm256_storeu_ps(dst + (h + 1) * ld, _mm256_shuffle_ps(t0, t2, 0xEE));
        _mm256_storeu_ps(dst + (h + 2) * ld, _mm256_shuffle_ps(t1, t3, 0x44));
        _mm256_storeu_ps(dst + (h + 3) * ld, _mm256_shuffle_ps(t1, t3, 0xEE));
    }
}

}  // namespace vorka::gemm::detail
