// Kernel traits of the packed product in portable C++, for CPUs without AVX2
// and FMA. Multiply and add stay separate (hardware without FMA would pay for
// a correctly rounded fused one in software on every step), so float32 sums
// differ from the FMA kernels' in the last bits; float16 ones do not, since
// every product of two float16 values is exact in float32.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/numeric/gemm_driver.hpp"

namespace vorka::gemm::detail {
namespace {

struct Portable {
    static constexpr size_t MR = blocking::kPackedPortable.mr, NR = blocking::kPackedPortable.nr;
    static constexpr size_t MC = blocking::kPackedPortable.mc;
    static constexpr bool kEdgesInPlace = false;

    static float widen1(float x) { return x; }
    static float widen1(uint16_t h) { return f16_to_f32(f16{h}); }
    template <class S>
    static void widen(const S* src, size_t n, float* dst, size_t width) {
        for (size_t j = 0; j < width; ++j) dst[j] = j < n ? widen1(src[j]) : 0.0f;
    }
    template <class S>
    static void transpose8(const S* src, ptrdiff_t ls, float* dst, ptrdiff_t ld) {
        for (ptrdiff_t r = 0; r < 8; ++r)
            for (ptrdiff_t p = 0; p < 8; ++p) dst[p * ld + r] = widen1(src[r * ls + p]);
    }

    // Four-float vectors of the compiler's (SSE2 on x86-64): the tile stays in
    // registers, which plain arrays did not.
    using V = float __attribute__((vector_size(16)));
    static constexpr size_t NV = NR / 4;
    static V load(const float* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    static void kernel(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c,
                       ptrdiff_t rsc, size_t mb, size_t, bool load_c) {
        ptrdiff_t off[MR];
        V acc[MR][NV];
#pragma GCC unroll 8
        for (size_t r = 0; r < MR; ++r) {
            off[r] = r < mb ? static_cast<ptrdiff_t>(r) * ars : 0;
#pragma GCC unroll 4
            for (size_t v = 0; v < NV; ++v)
                acc[r][v] = load_c ? load(c + static_cast<ptrdiff_t>(r) * rsc + 4 * v) : V{};
        }
        for (size_t p = 0; p < kb; ++p) {
            V b[NV];
#pragma GCC unroll 4
            for (size_t v = 0; v < NV; ++v) b[v] = load(bp + 4 * v);
#pragma GCC unroll 8
            for (size_t r = 0; r < MR; ++r) {
                const float x = a[off[r]];
                const V xv = {x, x, x, x};
#pragma GCC unroll 4
                for (size_t v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + xv * b[v];
            }
            a += acs;
            bp += NR;
        }
#pragma GCC unroll 8
        for (size_t r = 0; r < MR; ++r)
#pragma GCC unroll 4
            for (size_t v = 0; v < NV; ++v)
                std::memcpy(c + static_cast<ptrdiff_t>(r) * rsc + 4 * v, &acc[r][v], sizeof(V));
    }

    static void narrow(const float* t, uint16_t* h, ptrdiff_t cs, size_t n) {
        for (size_t j = 0; j < n; ++j) h[static_cast<ptrdiff_t>(j) * cs] = f32_to_f16(t[j]).bits;
    }
};

}  // namespace

void packed_portable(const Problem& p) { Packed<Portable>::run(p); }
void packed_portable_f16(const HalfProblem& p) { Packed<Portable>::run(p); }

}  // namespace vorka::gemm::detail
