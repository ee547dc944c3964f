// Internals of gemm.cpp, visible to its per-ISA kernels and to the tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/numeric/gemm_blocking.hpp"
#include "support/alloc.hpp"
#include "support/checked.hpp"

namespace vorka::gemm::detail {

// The kernels take 16-bit operands as bit patterns.
using Problem = Product<float>;
using HalfProblem = Product<uint16_t>;
using Bf16Problem = HalfProblem;

using SmallKernel = void (*)(const Problem&);

// A batch that shares B, with A's and C's items stacked row after row (each
// item's rows continue where the previous item's end), is one product with
// batch times the rows: B is packed once, and per-item set-up disappears.
// Likewise along the columns when A is shared.
template <class P>
void fold_batch(P& p) {
    if (p.batch <= 1) return;
    auto continues = [](size_t lines, ptrdiff_t line_stride, ptrdiff_t batch_stride) {
        return lines == 1 || batch_stride == static_cast<ptrdiff_t>(lines) * line_stride;
    };
    if (p.b.bs == 0 && p.a.bs != 0 && p.c.bs != 0 && continues(p.m, p.a.rs, p.a.bs) && continues(p.m, p.c.rs, p.c.bs)) {
        if (p.m == 1) p.a.rs = p.a.bs, p.c.rs = p.c.bs;
        p.m *= p.batch;
    } else if (p.a.bs == 0 && p.b.bs != 0 && p.c.bs != 0 && continues(p.n, p.b.cs, p.b.bs) &&
               continues(p.n, p.c.cs, p.c.bs)) {
        if (p.n == 1) p.b.cs = p.b.bs, p.c.cs = p.c.bs;
        p.n *= p.batch;
    } else {
        return;
    }
    p.batch = 1;
    p.a.bs = p.b.bs = p.c.bs = 0;
}

// The small kernels (batch loop included): any strides are accepted; unit
// column strides of B and C are fastest.
void small_generic(const Problem& p);
void small_avx2(const Problem& p);
void small_avx512(const Problem& p);
// Packed, cache-blocked kernels for products beyond the small kernels' reach.
void packed_avx512(const Problem& p);
void packed_avx2(const Problem& p);
void packed_portable(const Problem& p);

// Growable per-thread packing buffer of the packed kernels; kept between calls
// so that repeated products do not pay for fresh pages.
template <class T>
class PackScratch {
  public:
    PackScratch() = default;
    PackScratch(const PackScratch&) = delete;
    PackScratch& operator=(const PackScratch&) = delete;
    ~PackScratch() { std::free(p_); }
    T* get(size_t n) {
        if (n > cap_) {
            std::free(p_);
            p_ = nullptr;
            cap_ = 0;
            p_ = static_cast<T*>(aligned_block(alloc_bytes(n, sizeof(T))));
            cap_ = n;
        }
        return p_;
    }

  private:
    T* p_ = nullptr;
    size_t cap_ = 0;
};

// float16 products, operands widened while packed; a float16 result only
// with k <= blocking::kPackedKC (one block of k, so no partial sums need keeping).
void packed_avx512_f16(const HalfProblem& p);
void packed_avx2_f16(const HalfProblem& p);
void packed_portable_f16(const HalfProblem& p);
using HalfKernel = void (*)(const HalfProblem&);

// The product kernels compiled for one instruction set: its row of the
// instruction-set table (engine/cpu/instruction_sets.cpp, which defines the
// two functions below), which also holds its element-wise loops.
struct IsaKernels {
    std::string_view name;
    SmallKernel small;   // register-blocked, for products below the packing threshold
    SmallKernel packed;  // cache-blocked float32
    HalfKernel f16;      // cache-blocked, float16 operands widened while packed (the same
                         // bits on every row: one multiply-add chain in k order, products exact)
    bool bf16;           // whether the bfloat16 dot-product kernel may run (with AVX512-BF16)
};
// Those of the instruction set in use (simd::active_isa).
const IsaKernels& isa_kernels();
// Those of every set this CPU can run, best last.
std::vector<IsaKernels> available_isa_kernels();


// Whether sgemm hands a (normalised, oriented) product to the packed kernel
// rather than to a small kernel.
bool beyond_small(const Problem& p);

// The problem sgemm passes to a kernel: empty cases removed (false:
// nothing left to compute; zeros already written when k == 0), strides
// normalised and operands possibly swapped to compute C^T = B^T A^T.
bool prepare_for_kernels(Problem& p);

// sgemm with the size-based choice overridden: `kernel` runs the product
// (long sums split as sgemm splits them).
void sgemm_using(SmallKernel kernel, const Problem& p);


// Magnitudes (bits of |x|) for which products of two values are exact normal
// float32 numbers that are multiples of 2^-126, so no partial sum can be
// subnormal: [2^-56, 2^61), plus zero, infinities and NaNs.
inline constexpr uint16_t kBf16ExactLow = (127 - 56) << 7;
inline constexpr uint16_t kBf16ExactHigh = (127 + 61) << 7;

// The AVX512-BF16 product (false: some value is outside the exact range, the
// result is incomplete; a bfloat16 result only with k <= blocking::kBf16KC)
// and the range scan (gemm_packed_bf16_avx512.cpp); only for CPUs where
// bf16_products_supported() holds.
bool bf16_avx512(const Bf16Problem& p);
bool bf16_exact_range_avx512(const uint16_t* x, size_t n);

}  // namespace vorka::gemm::detail
