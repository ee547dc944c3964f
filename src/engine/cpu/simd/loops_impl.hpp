// The element-wise loops, written once over GCC vector types as wide as the
// instruction set this file is compiled for (16, 32 or 64 bytes).
//
// Included only by the loops_<set>.cpp files, after engine/cpu/isa_unit.hpp:
// everything here lives in a namespace named after the file's set
// (VORKA_ISA_UNIT), so the compilations never share a symbol the linker could
// mix up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/simd/loops.hpp"

#if VORKA_ISA_TARGETED(avx512)
#define VORKA_SIMD_AVX512 1
#define VORKA_SIMD_BYTES 64
#elif VORKA_ISA_TARGETED(avx2)
#define VORKA_SIMD_AVX2 1
#define VORKA_SIMD_BYTES 32
#else
#define VORKA_SIMD_BYTES 16
#endif

#if defined(VORKA_SIMD_AVX512) || defined(VORKA_SIMD_AVX2)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#define VORKA_INLINE [[gnu::always_inline]] inline

// Vector arguments of always-inlined helpers never cross an ABI boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vorka::simd::VORKA_ISA_UNIT {

inline constexpr size_t kBytes = VORKA_SIMD_BYTES;

template <class E, size_t N>
struct vec_of {
    typedef E type __attribute__((vector_size(N * sizeof(E))));
};
template <class E, size_t N>
using vec = typename vec_of<E, N>::type;

// Float lanes per vector; 16-bit and bool data travel in vectors of this many lanes too.
inline constexpr size_t W = kBytes / 4;
using f32v = vec<float, W>;
using i32v = vec<int32_t, W>;
using u32v = vec<uint32_t, W>;
using u16v = vec<uint16_t, W>;
using u8v = vec<uint8_t, W>;

// What the vectors hold of an element (plain integers but for float32).
template <class T> using raw_t = typename ElementTraits<T>::storage_type;

template <class T> VORKA_INLINE const raw_t<T>* raw(const T* p) { return reinterpret_cast<const raw_t<T>*>(p); }
template <class T> VORKA_INLINE raw_t<T>* raw(T* p) { return reinterpret_cast<raw_t<T>*>(p); }

VORKA_INLINE size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

// ---- loads and stores; the _n forms touch only the first n < N elements ----

template <size_t N, class E>
VORKA_INLINE vec<E, N> load(const E* p) {
    vec<E, N> v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// kStream: a non-temporal store, bypassing the caches; p must be aligned to
// the vector size (pieces under 16 bytes are stored normally).
template <size_t N, bool kStream = false, class E>
VORKA_INLINE void store(E* p, vec<E, N> v) {
    constexpr size_t B = sizeof v;
    if constexpr (kStream && B == 64) {
#if defined(VORKA_SIMD_AVX512)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(p), (__m512i)v);
        return;
#endif
    } else if constexpr (kStream && B == 32) {
#if defined(VORKA_SIMD_AVX512) || defined(VORKA_SIMD_AVX2)
        _mm256_stream_si256(reinterpret_cast<__m256i*>(p), (__m256i)v);
        return;
#endif
    } else if constexpr (kStream && B == 16) {
#if defined(__SSE2__)
        _mm_stream_si128(reinterpret_cast<__m128i*>(p), (__m128i)v);
        return;
#endif
    }
    __builtin_memcpy(p, &v, sizeof v);
}

// Outputs at least this large are streamed to memory. Together with their
// inputs they exceed the last-level cache, so a cached result would be evicted
// before a following operation could read it; streaming also saves reading
// every output line in before overwriting it.
inline constexpr size_t kStreamBytes = size_t{8} << 20;

template <class E>
VORKA_INLINE bool worth_streaming(const E* out, size_t n) {
#if defined(__SSE2__)
    return n * sizeof(E) >= kStreamBytes && reinterpret_cast<uintptr_t>(out) % kBytes == 0;
#else
    (void)out;
    (void)n;
    return false;
#endif
}

// Orders the streamed stores before whatever the caller does next.
VORKA_INLINE void stream_fence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

#if defined(VORKA_SIMD_AVX512)
VORKA_INLINE uint64_t lane_mask(size_t n) { return _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(n)); }

template <size_t N, class E>
VORKA_INLINE vec<E, N> load_n(const E* p, size_t n) {
    using V = vec<E, N>;
    constexpr size_t B = sizeof(V);
    const uint64_t m = lane_mask(n);
    static_assert(B == 16 || B == 32 || B == 64);
    if constexpr (sizeof(E) == 1) {
        if constexpr (B == 64) return (V)_mm512_maskz_loadu_epi8((__mmask64)m, p);
        else if constexpr (B == 32) return (V)_mm256_maskz_loadu_epi8((__mmask32)m, p);
        else return (V)_mm_maskz_loadu_epi8((__mmask16)m, p);
    } else if constexpr (sizeof(E) == 2) {
        if constexpr (B == 64) return (V)_mm512_maskz_loadu_epi16((__mmask32)m, p);
        else if constexpr (B == 32) return (V)_mm256_maskz_loadu_epi16((__mmask16)m, p);
        else return (V)_mm_maskz_loadu_epi16((__mmask8)m, p);
    } else {
        static_assert(sizeof(E) == 4);
        if constexpr (B == 64) return (V)_mm512_maskz_loadu_epi32((__mmask16)m, p);
        else if constexpr (B == 32) return (V)_mm256_maskz_loadu_epi32((__mmask8)m, p);
        else return (V)_mm_maskz_loadu_epi32((__mmask8)m, p);
    }
}

template <size_t N, class E>
VORKA_INLINE void store_n(E* p, vec<E, N> v, size_t n) {
    using V = vec<E, N>;
    constexpr size_t B = sizeof(V);
    const uint64_t m = lane_mask(n);
    static_assert(B == 16 || B == 32 || B == 64);
    if constexpr (sizeof(E) == 1) {
        if constexpr (B == 64) _mm512_mask_storeu_epi8(p, (__mmask64)m, (__m512i)v);
        else if constexpr (B == 32) _mm256_mask_storeu_epi8(p, (__mmask32)m, (__m256i)v);
        else _mm_mask_storeu_epi8(p, (__mmask16)m, (__m128i)v);
    } else if constexpr (sizeof(E) == 2) {
        if constexpr (B == 64) _mm512_mask_storeu_epi16(p, (__mmask32)m, (__m512i)v);
        else if constexpr (B == 32) _mm256_mask_storeu_epi16(p, (__mmask16)m, (__m256i)v);
        else _mm_mask_storeu_epi16(p, (__mmask8)m, (__m128i)v);
    } else {
        static_assert(sizeof(E) == 4);
        if constexpr (B == 64) _mm512_mask_storeu_epi32(p, (__mmask16)m, (__m512i)v);
        else if constexpr (B == 32) _mm256_mask_storeu_epi32(p, (__mmask8)m, (__m256i)v);
        else _mm_mask_storeu_epi32(p, (__mmask8)m, (__m128i)v);
    }
}
#else
#if defined(VORKA_SIMD_AVX2)
// Loaded at kLaneMaskTable + 8 - k: k all-ones lanes, then zeros.
alignas(32) inline constexpr int32_t kLaneMaskTable[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
#endif

// Otherwise n < N elements move as a sum of power-of-two pieces: a few fixed-size
// moves, where an element loop would become a library memcpy call.
template <size_t N, class E>
VORKA_INLINE vec<E, N> load_n(const E* p, size_t n) {
#if defined(VORKA_SIMD_AVX2)
    // Whole 32-bit lanes: a masked load, which never stalls on store forwarding.
    if constexpr (sizeof(E) == 4 && N == 8) {
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLaneMaskTable + 8 - n));
        return (vec<E, N>)_mm256_maskload_epi32(reinterpret_cast<const int*>(p), m);
    }
    // Eight 16-bit lanes: the pairs by a masked load, an odd last one blended in.
    if constexpr (sizeof(E) == 2 && N == 8) {
        const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLaneMaskTable + 8 - n / 2));
        __m128i v = _mm_maskload_epi32(reinterpret_cast<const int*>(p), pairs);
        if (n & 1) {
            const __m128i lane = _mm_cmpeq_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7),
                                                 _mm_set1_epi16(static_cast<short>(n - 1)));
            v = _mm_blendv_epi8(v, _mm_set1_epi16(static_cast<short>(p[n - 1])), lane);
        }
        return (vec<E, N>)v;
    }
#endif
    vec<E, N> v{};
    size_t off = 0;
#pragma GCC unroll 8
    for (size_t k = N / 2; k >= 1; k /= 2) {
        if (n & k) {
            __builtin_memcpy(reinterpret_cast<unsigned char*>(&v) + off * sizeof(E), p + off, k * sizeof(E));
            off += k;
        }
    }
    return v;
}

template <size_t N, class E>
VORKA_INLINE void store_n(E* p, vec<E, N> v, size_t n) {
    size_t off = 0;
#pragma GCC unroll 8
    for (size_t k = N / 2; k >= 1; k /= 2) {
        if (n & k) {
            __builtin_memcpy(p + off, reinterpret_cast<const unsigned char*>(&v) + off * sizeof(E), k * sizeof(E));
            off += k;
        }
    }
}
#endif

// ---- format conversions, W lanes at a time ----

#if !defined(VORKA_SIMD_AVX512) && !defined(VORKA_SIMD_AVX2)
// Without F16C: lane by lane, kept out of line (the scalar conversion is long).
[[gnu::noinline]] inline f32v widen_f16_lanes(u16v r) {
    f32v v;
    for (size_t k = 0; k < W; ++k) v[k] = f16_to_f32(f16{r[k]});
    return v;
}

[[gnu::noinline]] inline u16v narrow_f16_lanes(f32v v) {
    u16v r;
    for (size_t k = 0; k < W; ++k) r[k] = f32_to_f16(v[k]).bits;
    return r;
}
#endif

// kQuiet = false leaves a bfloat16 signalling NaN signalling, for consumers
// that cannot tell the difference: comparisons, and arithmetic, which quiets
// it itself.
template <class T, bool kQuiet = true>
VORKA_INLINE f32v widen(vec<raw_t<T>, W> r) {
    if constexpr (std::is_same_v<T, float>) {
        return r;
    } else if constexpr (std::is_same_v<T, f16>) {
#if defined(VORKA_SIMD_AVX512)
        return (f32v)_mm512_maskz_cvtph_ps(0xFFFF, (__m256i)r);
#elif defined(VORKA_SIMD_AVX2)
        return (f32v)_mm256_cvtph_ps((__m128i)r);
#else
        return widen_f16_lanes(r);
#endif
    } else {
        static_assert(std::is_same_v<T, bf16>);
        if constexpr (!kQuiet) return (f32v)(__builtin_convertvector(r, u32v) << 16);
#if defined(VORKA_SIMD_AVX512)
        // Zero-masked forms (all lanes kept): the plain ones pass GCC an undefined
        // merge source, which it reports as maybe-uninitialised.
        const __m512i x = _mm512_maskz_slli_epi32(0xFFFF, _mm512_maskz_cvtepu16_epi32(0xFFFF, (__m256i)r), 16);
        const __mmask16 snan = _mm512_fpclass_ps_mask(_mm512_castsi512_ps(x), 0x80);
        return (f32v)_mm512_mask_or_epi32(x, snan, x, _mm512_set1_epi32(0x00400000));
#elif defined(VORKA_SIMD_AVX2)
        const __m256i x = _mm256_slli_epi32(_mm256_cvtepu16_epi32((__m128i)r), 16);
        const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(x, _mm256_set1_epi32(0x7FFFFFFF)),
                                               _mm256_set1_epi32(0x7F800000));
        return (f32v)_mm256_or_si256(x, _mm256_and_si256(nan, _mm256_set1_epi32(0x00400000)));
#else
        u32v x = __builtin_convertvector(r, u32v) << 16;
        x |= (u32v)((x & 0x7FFFFFFFu) > 0x7F800000u) & 0x00400000u;  // quiet a signalling NaN
        return (f32v)x;
#endif
    }
}

// Round to nearest even into the upper 16 bits. No NaN fix-up: a NaN whose
// low 16 bits are zero comes out truncated, as required, and the arithmetic
// NaNs are quiet already. Callers that may see other NaNs (narrow<bf16>) fix
// them up; the others guarantee that every NaN reaching here has zero low
// bits (true of all NaNs made from bfloat16 operands, and of the default NaN).
VORKA_INLINE u32v round_bf16_high(f32v v) {
    const u32v x = (u32v)v;
    return x + (((x >> 16) & 1u) + 0x7FFFu);
}

template <class T>
VORKA_INLINE vec<raw_t<T>, W> narrow(f32v v) {
    if constexpr (std::is_same_v<T, float>) {
        return v;
    } else if constexpr (std::is_same_v<T, f16>) {
        // imm8 = 0: round to nearest even regardless of MXCSR.
#if defined(VORKA_SIMD_AVX512)
        return (u16v)_mm512_maskz_cvtps_ph(0xFFFF, (__m512)v, 0);
#elif defined(VORKA_SIMD_AVX2)
        return (u16v)_mm256_cvtps_ph((__m256)v, 0);
#else
        return narrow_f16_lanes(v);
#endif
    } else {
        static_assert(std::is_same_v<T, bf16>);
#if defined(VORKA_SIMD_AVX512)
        const __m512i x = (__m512i)v;
        const __m512i hi = _mm512_maskz_srli_epi32(0xFFFF, x, 16);
        __m512i r = (__m512i)(round_bf16_high(v) >> 16);
        const __mmask16 nan = _mm512_fpclass_ps_mask((__m512)v, 0x81);
        r = _mm512_mask_or_epi32(r, nan, hi, _mm512_set1_epi32(0x0040));
        return (u16v)_mm512_maskz_cvtepi32_epi16(0xFFFF, r);
#elif defined(VORKA_SIMD_AVX2)
        const __m256i x = (__m256i)v;
        const __m256i hi = _mm256_srli_epi32(x, 16);
        const __m256i rounded = (__m256i)(round_bf16_high(v) >> 16);
        const __m256i quieted = _mm256_or_si256(hi, _mm256_set1_epi32(0x0040));
        const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(x, _mm256_set1_epi32(0x7FFFFFFF)),
                                               _mm256_set1_epi32(0x7F800000));
        const __m256i r = _mm256_blendv_epi8(rounded, quieted, nan);
        // Values fit in 16 bits, so the saturating pack is exact; it interleaves the halves.
        return (u16v)_mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(r, r), 0x08));
#else
        const u32v x = (u32v)v;
        const u32v nan = (u32v)((x & 0x7FFFFFFFu) > 0x7F800000u);
        const u32v rounded = round_bf16_high(v) >> 16;
        const u32v quieted = (x >> 16) | 0x0040u;
        return __builtin_convertvector((rounded & ~nan) | (quieted & nan), u16v);
#endif
    }
}

// -1/0 lanes to 0/1 bytes.
VORKA_INLINE u8v mask_bytes(i32v m) {
#if defined(VORKA_SIMD_AVX2)
    const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128((__m256i)m), _mm256_extracti128_si256((__m256i)m, 1));
    return (u8v)_mm_cvtsi128_si64(_mm_and_si128(_mm_packs_epi16(w, w), _mm_set1_epi8(1)));
#elif !defined(VORKA_SIMD_AVX512) && defined(__SSE2__)
    const __m128i w = _mm_packs_epi32((__m128i)m, (__m128i)m);
    return (u8v)_mm_cvtsi128_si32(_mm_and_si128(_mm_packs_epi16(w, w), _mm_set1_epi8(1)));
#else
    return __builtin_convertvector(m & 1, u8v);
#endif
}

// Through the integers: a float add would turn -0 into +0 and quiet a signalling NaN.
VORKA_INLINE f32v splat(float s) { return (f32v)(u32v{} | float_bits(s)); }

// ---- operand streams and output sinks used by the run loops ----

// W float32 lanes read from elements of type T.
template <class T, bool kQuiet = true>
struct FloatIn {
    using elem = raw_t<T>;
    static constexpr size_t lanes = W;
    const elem* p;
    VORKA_INLINE f32v get(size_t i) const { return widen<T, kQuiet>(load<W>(p + i)); }
    VORKA_INLINE f32v get_n(size_t i, size_t n) const { return widen<T, kQuiet>(load_n<W>(p + i, n)); }
};

// bfloat16 arithmetic, 2W elements at a time without a single shuffle: the
// element in the low half of each 32-bit lane widens by a shift, the one in
// the high half by a mask, the op runs on both sets of lanes and each result
// is rounded back into the half it came from.
struct F32Pair {
    f32v lo, hi;
};
using u16x2v = vec<uint16_t, 2 * W>;

struct Bf16PairIn {
    using elem = uint16_t;
    static constexpr size_t lanes = 2 * W;
    const uint16_t* p;
    VORKA_INLINE static F32Pair split(u16x2v r) {
        const u32v x = (u32v)r;
        return {(f32v)(x << 16), (f32v)(x & 0xFFFF0000u)};
    }
    VORKA_INLINE F32Pair get(size_t i) const { return split(load<2 * W>(p + i)); }
    VORKA_INLINE F32Pair get_n(size_t i, size_t n) const { return split(load_n<2 * W>(p + i, n)); }
};

struct Bf16PairOut {
    uint16_t* p;
    VORKA_INLINE static u16x2v join(F32Pair r) {
        return (u16x2v)((round_bf16_high(r.lo) >> 16) | (round_bf16_high(r.hi) & 0xFFFF0000u));
    }
    VORKA_INLINE Bf16PairOut offset(size_t i) const { return {p + i}; }
    template <bool kStream = false>
    VORKA_INLINE void put(size_t i, F32Pair r) const { store<2 * W, kStream>(p + i, join(r)); }
    VORKA_INLINE void put_n(size_t i, F32Pair r, size_t n) const { store_n<2 * W>(p + i, join(r), n); }
};

template <class Fn>
struct OnPairs {
    Fn fn;
    VORKA_INLINE F32Pair operator()(F32Pair x) const { return {fn(x.lo), fn(x.hi)}; }
    VORKA_INLINE F32Pair operator()(F32Pair a, F32Pair b) const { return {fn(a.lo, b.lo), fn(a.hi, b.hi)}; }
};

// N raw elements.
template <size_t N, class E>
struct RawIn {
    using elem = E;
    static constexpr size_t lanes = N;
    const E* p;
    VORKA_INLINE vec<E, N> get(size_t i) const { return load<N>(p + i); }
    VORKA_INLINE vec<E, N> get_n(size_t i, size_t n) const { return load_n<N>(p + i, n); }
};

template <class T>
struct FloatOut {
    raw_t<T>* p;
    VORKA_INLINE FloatOut offset(size_t i) const { return {p + i}; }
    template <bool kStream = false>
    VORKA_INLINE void put(size_t i, f32v v) const { store<W, kStream>(p + i, narrow<T>(v)); }
    VORKA_INLINE void put_n(size_t i, f32v v, size_t n) const { store_n<W>(p + i, narrow<T>(v), n); }
};

template <size_t N, class E>
struct RawOut {
    E* p;
    VORKA_INLINE RawOut offset(size_t i) const { return {p + i}; }
    template <bool kStream = false>
    VORKA_INLINE void put(size_t i, vec<E, N> v) const { store<N, kStream>(p + i, v); }
    VORKA_INLINE void put_n(size_t i, vec<E, N> v, size_t n) const { store_n<N>(p + i, v, n); }
};

// Comparison masks (-1/0 per lane) stored as bools.
struct MaskOut {
    uint8_t* p;
    VORKA_INLINE MaskOut offset(size_t i) const { return {p + i}; }
    template <bool kStream = false>
    VORKA_INLINE void put(size_t i, i32v m) const { store<W, kStream>(p + i, mask_bytes(m)); }
    VORKA_INLINE void put_n(size_t i, i32v m, size_t n) const { store_n<W>(p + i, mask_bytes(m), n); }
};

template <size_t N, class In, class Out, class Fn>
VORKA_INLINE void run1(size_t n, In x, Out out, Fn fn) {
    size_t i = 0;
    if (worth_streaming(out.p, n)) {
        for (; i + N <= n; i += N) out.template put<true>(i, fn(x.get(i)));
        stream_fence();
    } else {
        for (; i + N <= n; i += N) out.put(i, fn(x.get(i)));
    }
    if (i < n) out.put_n(i, fn(x.get_n(i, n - i)), n - i);
}

template <size_t N, class InA, class InB, class Out, class Fn>
VORKA_INLINE void run2(size_t n, InA a, InB b, Out out, Fn fn) {
    size_t i = 0;
    if (worth_streaming(out.p, n)) {
        for (; i + N <= n; i += N) out.template put<true>(i, fn(a.get(i), b.get(i)));
        stream_fence();
    } else {
        for (; i + N <= n; i += N) out.put(i, fn(a.get(i), b.get(i)));
    }
    if (i < n) out.put_n(i, fn(a.get_n(i, n - i), b.get_n(i, n - i)), n - i);
}

// Strided operands are gathered chunk by chunk into a contiguous buffer, so
// every stride runs the same vector code.
inline constexpr size_t kChunk = 512;

template <class E>
VORKA_INLINE const E* gather(const E* p, ptrdiff_t s, size_t i, size_t m, E* buf) {
    if (s == 1) return p + i;
    const E* q = p + static_cast<ptrdiff_t>(i) * s;
    for (size_t k = 0; k < m; ++k) buf[k] = q[static_cast<ptrdiff_t>(k) * s];
    return buf;
}

// Out of line so the contiguous paths keep a small stack frame.
template <class In, class Out, class Fn>
[[gnu::noinline]] void drive1_strided(const typename In::elem* x, ptrdiff_t sx, size_t n, Out out, Fn fn) {
    alignas(64) typename In::elem buf[kChunk];
    for (size_t i = 0; i < n; i += kChunk) {
        const size_t m = min_size(kChunk, n - i);
        run1<In::lanes>(m, In{gather(x, sx, i, m, buf)}, out.offset(i), fn);
    }
}

template <class In, class Out, class Fn>
VORKA_INLINE void drive1(const typename In::elem* x, ptrdiff_t sx, size_t n, Out out, Fn fn) {
    if (sx == 1) return run1<In::lanes>(n, In{x}, out, fn);
    drive1_strided<In>(x, sx, n, out, fn);
}

template <class InA, class InB, class Out, class Fn>
[[gnu::noinline]] void drive2_strided(const typename InA::elem* a, ptrdiff_t sa, const typename InB::elem* b,
                                      ptrdiff_t sb, size_t n, Out out, Fn fn) {
    alignas(64) typename InA::elem abuf[kChunk];
    alignas(64) typename InB::elem bbuf[kChunk];
    for (size_t i = 0; i < n; i += kChunk) {
        const size_t m = min_size(kChunk, n - i);
        run2<InA::lanes>(m, InA{gather(a, sa, i, m, abuf)}, InB{gather(b, sb, i, m, bbuf)}, out.offset(i), fn);
    }
}

template <class InA, class InB, class Out, class Fn>
VORKA_INLINE void drive2(const typename InA::elem* a, ptrdiff_t sa, const typename InB::elem* b, ptrdiff_t sb,
                         size_t n, Out out, Fn fn) {
    static_assert(InA::lanes == InB::lanes);
    if (sa == 1 && sb == 1) return run2<InA::lanes>(n, InA{a}, InB{b}, out, fn);
    drive2_strided<InA, InB>(a, sa, b, sb, n, out, fn);
}

// ---- operations on float32 lanes ----

// Add and Mul commute, so the compiler may swap their operands, which changes
// which NaN comes out when both are NaN (x86 returns the first source's).
// On x86 the instruction is spelled out with a as the first source; elsewhere
// the left NaN is patched in afterwards.
#if defined(__x86_64__) || defined(__i386__)
#if defined(VORKA_SIMD_AVX512)
#define VORKA_ORDERED_OP(name, insn)                                          \
    VORKA_INLINE f32v name(f32v a, f32v b) {                                  \
        f32v r;                                                               \
        asm(insn " %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));                   \
        return r;                                                             \
    }
VORKA_ORDERED_OP(add_ordered, "vaddps")
VORKA_ORDERED_OP(mul_ordered, "vmulps")
#elif defined(VORKA_SIMD_AVX2)
#define VORKA_ORDERED_OP(name, insn)                                          \
    VORKA_INLINE f32v name(f32v a, f32v b) {                                  \
        f32v r;                                                               \
        asm(insn " %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));                   \
        return r;                                                             \
    }
VORKA_ORDERED_OP(add_ordered, "vaddps")
VORKA_ORDERED_OP(mul_ordered, "vmulps")
#else
#define VORKA_ORDERED_OP(name, insn)                                          \
    VORKA_INLINE f32v name(f32v a, f32v b) {                                  \
        asm(insn " %1, %0" : "+x"(a) : "x"(b));                               \
        return a;                                                             \
    }
VORKA_ORDERED_OP(add_ordered, "addps")
VORKA_ORDERED_OP(mul_ordered, "mulps")
#endif
#undef VORKA_ORDERED_OP
#else
VORKA_INLINE f32v left_nan_or(f32v a, f32v r) {
    const u32v a_nan = (u32v)(a != a);
    return (f32v)((((u32v)a | 0x00400000u) & a_nan) | ((u32v)r & ~a_nan));
}
VORKA_INLINE f32v add_ordered(f32v a, f32v b) { return left_nan_or(a, a + b); }
VORKA_INLINE f32v mul_ordered(f32v a, f32v b) { return left_nan_or(a, a * b); }
#endif

struct AddF { VORKA_INLINE f32v operator()(f32v a, f32v b) const { return add_ordered(a, b); } };
struct SubF { VORKA_INLINE f32v operator()(f32v a, f32v b) const { return a - b; } };
struct MulF { VORKA_INLINE f32v operator()(f32v a, f32v b) const { return mul_ordered(a, b); } };
struct DivF { VORKA_INLINE f32v operator()(f32v a, f32v b) const { return a / b; } };

struct EqF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a == b; } };
struct NeF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a != b; } };
struct LtF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a < b; } };
struct LeF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a <= b; } };
struct GtF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a > b; } };
struct GeF { VORKA_INLINE i32v operator()(f32v a, f32v b) const { return a >= b; } };

template <class Op>
struct WithRight {
    Op op;
    f32v r;
    VORKA_INLINE auto operator()(f32v x) const { return op(x, r); }
};

template <class Op>
struct WithLeft {
    Op op;
    f32v l;
    VORKA_INLINE auto operator()(f32v x) const { return op(l, x); }
};

// Binary float op with broadcast (stride 0) operands widened once up front.
// In reads the elements of T; Wrap adapts a float32-lane op to what In yields.
template <class In, template <class> class Wrap, class T, class Out, class Op>
VORKA_INLINE void float_binary(const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, size_t n, Out out, Op op) {
    if (n == 0) return;
    if (sb == 0) return drive1<In>(raw(a), sa, n, out, Wrap<WithRight<Op>>{{op, splat(to_f32(b[0]))}});
    if (sa == 0) return drive1<In>(raw(b), sb, n, out, Wrap<WithLeft<Op>>{{op, splat(to_f32(a[0]))}});
    drive2<In, In>(raw(a), sa, raw(b), sb, n, out, Wrap<Op>{op});
}

template <class In, template <class> class Wrap, class T, class Out, class Op>
VORKA_INLINE void float_scalar(const T* x, ptrdiff_t sx, float s, bool s_left, size_t n, Out out, Op op) {
    if (n == 0) return;
    if (s_left) return drive1<In>(raw(x), sx, n, out, Wrap<WithLeft<Op>>{{op, splat(s)}});
    drive1<In>(raw(x), sx, n, out, Wrap<WithRight<Op>>{{op, splat(s)}});
}

template <class Fn>
struct Direct {
    Fn fn;
    template <class... V>
    VORKA_INLINE auto operator()(V... v) const { return fn(v...); }
};

// The arithmetic loops: bfloat16 in halves, the others lane by lane.
template <class T>
struct Arith {
    using In = FloatIn<T>;
    using Out = FloatOut<T>;
    template <class Fn> using Wrap = Direct<Fn>;
};
template <>
struct Arith<bf16> {
    using In = Bf16PairIn;
    using Out = Bf16PairOut;
    template <class Fn> using Wrap = OnPairs<Fn>;
};

// Calls f with the lane functor of op's row, so each loop below is written
// once for all its operations.
template <class F>
VORKA_INLINE void with_arith(BinaryOp op, F&& f) {
#define VORKA_ARITH_CASE(name, lane, ...) \
    case BinaryOp::lane: return f(lane##F{});
    switch (op) { VORKA_ARITHMETIC_OPS(VORKA_ARITH_CASE) }
#undef VORKA_ARITH_CASE
}

// f(functor, reflected): the number is the right operand, or the left one.
template <class F>
VORKA_INLINE void with_number(ScalarOp op, F&& f) {
#define VORKA_NUMBER_CASE(name, lane, functor, reflected, ...) \
    case ScalarOp::lane: return f(functor{}, std::bool_constant<reflected>{});
    switch (op) { VORKA_NUMBER_OPS(VORKA_NUMBER_CASE) }
#undef VORKA_NUMBER_CASE
}

template <class F>
VORKA_INLINE void with_compare(CompareOp op, F&& f) {
#define VORKA_COMPARE_CASE(name, lane, ...) \
    case CompareOp::lane: return f(lane##F{});
    switch (op) { VORKA_COMPARISON_OPS(VORKA_COMPARE_CASE) }
#undef VORKA_COMPARE_CASE
}

template <class T>
void binary_loop(BinaryOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, T* out, size_t n) {
    using A = Arith<T>;
    const typename A::Out o{raw(out)};
    with_arith(op, [&](auto fn) { float_binary<typename A::In, A::template Wrap>(a, sa, b, sb, n, o, fn); });
}

template <class T>
void compare_loop(CompareOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, bool* out, size_t n) {
    const MaskOut o{raw(out)};
    with_compare(op, [&](auto fn) { float_binary<FloatIn<T, false>, Direct>(a, sa, b, sb, n, o, fn); });
}

template <class T>
void scalar_loop(ScalarOp op, const T* x, ptrdiff_t sx, float s, T* out, size_t n) {
    using A = Arith<T>;
    using In = typename A::In;
    const typename A::Out o{raw(out)};
    if constexpr (std::is_same_v<T, bf16>) {
        // A NaN scalar ends up in the result truncated to bfloat16 and quieted;
        // doing both now keeps its low bits out of the rounding.
        if (is_nan(s)) s = quieted(float_from_bits(float_bits(s) & 0xFFFF0000u));
    }
    with_number(op, [&](auto fn, auto reflected) {
        float_scalar<In, A::template Wrap>(x, sx, s, reflected, n, o, fn);
    });
}

template <class T>
void scalar_compare_loop(CompareOp op, const T* x, ptrdiff_t sx, float s, bool* out, size_t n) {
    const MaskOut o{raw(out)};
    with_compare(op, [&](auto fn) { float_scalar<FloatIn<T, false>, Direct>(x, sx, s, false, n, o, fn); });
}

// ---- operations on bit patterns ----

template <class T>
inline constexpr size_t raw_lanes = kBytes / sizeof(raw_t<T>);
template <class T>
using rawv = vec<raw_t<T>, raw_lanes<T>>;

template <class T>
struct ReluBits {
    VORKA_INLINE rawv<T> operator()(rawv<T> h) const {
        if constexpr (std::is_same_v<T, float>) {
            using U = vec<uint32_t, raw_lanes<T>>;
            const U u = (U)h;
            const U keep = (U)((u - 1u) < ElementTraits<T>::inf_bits);  // +denormal .. +inf
            return (rawv<T>)(u & keep);
        } else {
            constexpr raw_t<T> limit = ElementTraits<T>::inf_bits;
            return h & (rawv<T>)(h <= limit);
        }
    }
};

template <class T>
struct ReluBackwardBits {
    VORKA_INLINE rawv<T> operator()(rawv<T> g, rawv<T> x) const {
        if constexpr (std::is_same_v<T, float>) {
            return (rawv<T>)((vec<uint32_t, raw_lanes<T>>)g & (vec<uint32_t, raw_lanes<T>>)(x > 0.0f));
        } else {
            constexpr raw_t<T> limit = ElementTraits<T>::inf_bits;
            return g & (rawv<T>)((rawv<T>)(x - 1u) < limit);  // 0 < x <= +inf
        }
    }
};

template <class T>
void relu_loop(const T* x, ptrdiff_t sx, T* out, size_t n) {
    using In = RawIn<raw_lanes<T>, raw_t<T>>;
    drive1<In>(raw(x), sx, n, RawOut<raw_lanes<T>, raw_t<T>>{raw(out)}, ReluBits<T>{});
}

template <class T>
void relu_backward_loop(const T* g, ptrdiff_t sg, const T* x, ptrdiff_t sx, T* out, size_t n) {
    using In = RawIn<raw_lanes<T>, raw_t<T>>;
    drive2<In, In>(raw(g), sg, raw(x), sx, n, RawOut<raw_lanes<T>, raw_t<T>>{raw(out)}, ReluBackwardBits<T>{});
}

using bytev = vec<uint8_t, kBytes>;
using ByteIn = RawIn<kBytes, uint8_t>;
using ByteOut = RawOut<kBytes, uint8_t>;

template <class F>
VORKA_INLINE void bool_binary(const bool* a, ptrdiff_t sa, const bool* b, ptrdiff_t sb, bool* out, size_t n, F f) {
    drive2<ByteIn, ByteIn>(raw(a), sa, raw(b), sb, n, ByteOut{raw(out)}, f);
}

// Inputs are 0/1, so these are the truth tables of the predicates.
void compare_bool_loop(CompareOp op, const bool* a, ptrdiff_t sa, const bool* b, ptrdiff_t sb, bool* out,
                       size_t n) {
    switch (op) {
        case CompareOp::Eq: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x ^ y ^ 1; });
        case CompareOp::Ne: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x ^ y; });
        case CompareOp::Lt: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return (x ^ 1) & y; });
        case CompareOp::Le: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return (x ^ 1) | y; });
        case CompareOp::Gt: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x & (y ^ 1); });
        case CompareOp::Ge: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x | (y ^ 1); });
    }
}

void logical_loop(LogicalOp op, const bool* a, ptrdiff_t sa, const bool* b, ptrdiff_t sb, bool* out, size_t n) {
    switch (op) {
        case LogicalOp::And: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x & y; });
        case LogicalOp::Or: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x | y; });
        case LogicalOp::Xor: return bool_binary(a, sa, b, sb, out, n, [](bytev x, bytev y) { return x ^ y; });
    }
}

void logical_not_loop(const bool* x, ptrdiff_t sx, bool* out, size_t n) {
    drive1<ByteIn>(raw(x), sx, n, ByteOut{raw(out)}, [](bytev v) { return v ^ 1; });
}

// ---- sums ----
//
// A run is cut into leaves of kSumLeaf elements, combined pairwise. A leaf is
// summed in kSumLanes interleaved lanes (lane k takes elements k, k + 16, ...),
// whose totals are folded in a fixed tree. Column sums add leaves of kRowLeaf
// rows in sequence and combine the leaves pairwise. Neither order depends on W,
// and every addition keeps the left NaN, so all instruction sets agree.

inline constexpr size_t kSumLanes = 16;
inline constexpr size_t kSumLeaf = 256;
inline constexpr size_t kRowLeaf = 16;
inline constexpr size_t kColTile = 256;  // columns summed per pass over the rows
static_assert(kSumLanes % W == 0 && kColTile % W == 0);

// The first n elements at p widened, +0 in the lanes past n.
template <class T>
VORKA_INLINE f32v widen_n(const raw_t<T>* p, size_t n) {
    return n >= W ? widen<T>(load<W>(p)) : widen<T>(load_n<W>(p, n));
}

// Sum of n <= kSumLeaf contiguous elements. Lanes past the end add +0, which
// changes nothing: a lane total starts at +0 and so is never -0.
template <class T>
float sum_leaf(const raw_t<T>* p, size_t n) {
    constexpr size_t V = kSumLanes / W;
    f32v acc[V] = {};
    size_t i = 0;
    for (; i + kSumLanes <= n; i += kSumLanes) {
#pragma GCC unroll 4
        for (size_t v = 0; v < V; ++v) acc[v] = add_ordered(acc[v], widen<T>(load<W>(p + i + v * W)));
    }
    for (size_t v = 0; v < V && i + v * W < n; ++v) acc[v] = add_ordered(acc[v], widen_n<T>(p + i + v * W, n - i - v * W));
    float lane[kSumLanes];
    __builtin_memcpy(lane, acc, sizeof lane);
    for (size_t h = kSumLanes / 2; h >= 1; h /= 2) {
        for (size_t k = 0; k < h; ++k) lane[k] = add_left(lane[k], lane[k + h]);
    }
    return lane[0];
}

template <class T>
float sum_run(const raw_t<T>* p, ptrdiff_t s, size_t n) {
    if (n <= kSumLeaf) {
        if (s == 1) return sum_leaf<T>(p, n);
        alignas(64) raw_t<T> buf[kSumLeaf];
        for (size_t k = 0; k < n; ++k) buf[k] = p[static_cast<ptrdiff_t>(k) * s];
        return sum_leaf<T>(buf, n);
    }
    const size_t m = n / 2 / kSumLanes * kSumLanes;
    const float left = sum_run<T>(p, s, m);
    return add_left(left, sum_run<T>(p + static_cast<ptrdiff_t>(m) * s, s, n - m));
}

template <class T>
float sum_loop(const T* x, ptrdiff_t sx, size_t n) {
    return n == 0 ? 0.0f : sum_run<T>(raw(x), sx, n);
}

// acc[j] for j < m, rounded up to whole vectors (acc holds kColTile floats):
// the sum of rows <= kRowLeaf contiguous rows, in order.
template <class T>
void rows_leaf(const raw_t<T>* p, ptrdiff_t sr, size_t rows, size_t m, float* acc) {
    size_t j = 0;
    for (; j + W <= m; j += W) {
        f32v a{};
        for (size_t i = 0; i < rows; ++i) a = add_ordered(a, widen<T>(load<W>(p + static_cast<ptrdiff_t>(i) * sr + j)));
        store<W>(acc + j, a);
    }
    if (j < m) {
        f32v a{};
        for (size_t i = 0; i < rows; ++i)
            a = add_ordered(a, widen<T>(load_n<W>(p + static_cast<ptrdiff_t>(i) * sr + j, m - j)));
        store<W>(acc + j, a);
    }
}

// The same for strided columns, gathered side by side first.
template <class T>
[[gnu::noinline]] void rows_leaf_strided(const raw_t<T>* p, ptrdiff_t sr, ptrdiff_t sc, size_t rows, size_t m,
                                         float* acc) {
    alignas(64) raw_t<T> tile[kRowLeaf * kColTile];
    for (size_t i = 0; i < rows; ++i) {
        const raw_t<T>* row = p + static_cast<ptrdiff_t>(i) * sr;
        for (size_t j = 0; j < m; ++j) tile[i * kColTile + j] = row[static_cast<ptrdiff_t>(j) * sc];
    }
    rows_leaf<T>(tile, kColTile, rows, m, acc);
}

template <class T>
void rows_pairwise(const raw_t<T>* p, ptrdiff_t sr, ptrdiff_t sc, size_t rows, size_t m, float* acc) {
    if (rows <= kRowLeaf) {
        if (sc == 1) return rows_leaf<T>(p, sr, rows, m, acc);
        return rows_leaf_strided<T>(p, sr, sc, rows, m, acc);
    }
    const size_t half = rows / 2;
    rows_pairwise<T>(p, sr, sc, half, m, acc);
    alignas(64) float right[kColTile];
    rows_pairwise<T>(p + static_cast<ptrdiff_t>(half) * sr, sr, sc, rows - half, m, right);
    for (size_t j = 0; j < m; j += W) store<W>(acc + j, add_ordered(load<W>(acc + j), load<W>(right + j)));
}

template <class T>
void sum_rows_loop(const T* x, ptrdiff_t sr, ptrdiff_t sc, size_t rows, size_t cols, float* out, ptrdiff_t so) {
    alignas(64) float tile[kColTile];
    for (size_t j = 0; j < cols; j += kColTile) {
        const size_t m = min_size(kColTile, cols - j);
        rows_pairwise<T>(raw(x) + static_cast<ptrdiff_t>(j) * sc, sr, sc, rows, m, tile);
        float* o = out + static_cast<ptrdiff_t>(j) * so;
        if (so == 1) {
            __builtin_memcpy(o, tile, m * sizeof(float));
        } else {
            for (size_t k = 0; k < m; ++k) o[static_cast<ptrdiff_t>(k) * so] = tile[k];
        }
    }
}

struct Identity { VORKA_INLINE f32v operator()(f32v v) const { return v; } };

template <class T>
void widen_loop(const T* src, float* dst, size_t n) {
    run1<W>(n, FloatIn<T>{raw(src)}, FloatOut<float>{dst}, Identity{});
}

template <class T>
void narrow_loop(const float* src, T* dst, size_t n) {
    run1<W>(n, FloatIn<float>{src}, FloatOut<T>{raw(dst)}, Identity{});
}

template <class T>
constexpr detail::FloatLoops<T> float_loops() {
    return {&binary_loop<T>, &compare_loop<T>, &scalar_loop<T>, &scalar_compare_loop<T>, &relu_loop<T>,
            &relu_backward_loop<T>, &sum_loop<T>, &sum_rows_loop<T>, &widen_loop<T>, &narrow_loop<T>};
}

template <class... T>
constexpr auto float_loops_of(TypeList<T...>) {
    return decltype(detail::LoopTable::floats){float_loops<T>()...};
}

inline constexpr detail::LoopTable kTable = {
    float_loops_of(FloatTypes{}),
    &compare_bool_loop,
    &logical_loop,
    &logical_not_loop,
};

}  // namespace vorka::simd::VORKA_ISA_UNIT
