#include "engine/cpu/numeric/gemm.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace vorka::gemm {
namespace detail {
namespace {

// An axis of extent 1 is never stepped along, so its stride is free: pick one
// that makes the matrix plainly row- or column-major. The kernels then see
// unit strides wherever the data allows them.
void normalise(size_t rows, size_t cols, ptrdiff_t& rs, ptrdiff_t& cs) {
    if (rows == 1 && cols == 1) {
        rs = cs = 1;
    } else if (rows == 1) {
        rs = cs == 1 ? static_cast<ptrdiff_t>(cols) : 1;
    } else if (cols == 1) {
        cs = rs == 1 ? static_cast<ptrdiff_t>(rows) : 1;
    }
}

template <class PR>
void fill_zero(const PR& p) {
    for (size_t t = 0; t < p.batch; ++t) {
        float* c = p.c.p + static_cast<ptrdiff_t>(t) * p.c.bs;
        for (size_t i = 0; i < p.m; ++i)
            for (size_t j = 0; j < p.n; ++j)
                c[static_cast<ptrdiff_t>(i) * p.c.rs + static_cast<ptrdiff_t>(j) * p.c.cs] = 0.0f;
    }
}

// Handles the empty cases and normalises strides; false when nothing is left
// to compute.
template <class PR>
bool prepare(PR& p) {
    if (p.batch == 0 || p.m == 0 || p.n == 0) return false;
    fold_batch(p);
    if (p.batch == 1) p.a.bs = p.b.bs = p.c.bs = 0;
    normalise(p.m, p.n, p.c.rs, p.c.cs);
    if (p.k == 0) {
        fill_zero(p);
        return false;
    }
    normalise(p.m, p.k, p.a.rs, p.a.cs);
    normalise(p.k, p.n, p.b.rs, p.b.cs);
    return true;
}

// The kernels vectorise along the columns of C. Computing C^T = B^T A^T
// instead pays off when that gives a longer or unit-stride vector axis.
template <class PR>
void orient(PR& p) {
    bool flip;
    if (p.m == 1 || p.n == 1)
        flip = p.n == 1 && p.m > 1;
    else if (p.c.cs == 1 || p.c.rs == 1)
        flip = p.c.cs != 1;
    else
        flip = p.b.cs != 1 && p.a.rs == 1;
    if (!flip) return;
    std::swap(p.m, p.n);
    const auto a = p.a;
    p.a = p.b.transposed();
    p.b = a.transposed();
    p.c = p.c.transposed();
}

void run(Problem p) {
    if (!prepare_for_kernels(p)) return;
    const IsaKernels& k = isa_kernels();
    (beyond_small(p) ? k.packed : k.small)(p);
}

// Every kernel sums along k in sequence (per register lane, per cache block),
// so the rounding error of a long product grows with k. Longer ones are split
// in halves, computed apart and added, which makes it grow like log k beyond
// kLongK for one more pass over C per level. Shorter ones keep their bits.
using blocking::kLongK;

// `run` computes a problem of float32 C.
template <class PR, class Run>
void run_split(const PR& p, Run run) {
    if (p.k <= kLongK || p.batch == 0 || p.m == 0 || p.n == 0) return run(p);
    if (p.batch > 1) {  // one item at a time: the partial results stay the size of one C
        for (size_t t = 0; t < p.batch; ++t) {
            const ptrdiff_t it = static_cast<ptrdiff_t>(t);
            PR q = p;
            q.batch = 1;
            q.a.p += it * p.a.bs;
            q.b.p += it * p.b.bs;
            q.c.p += it * p.c.bs;
            run_split(q, run);
        }
        return;
    }
    const size_t half = p.k / 2;
    PR lo = p, hi = p;
    lo.k = half;
    hi.k = p.k - half;
    hi.a.p += static_cast<ptrdiff_t>(half) * p.a.cs;
    hi.b.p += static_cast<ptrdiff_t>(half) * p.b.rs;
    std::unique_ptr<float[]> part(new float[p.m * p.n]);
    hi.c.p = part.get();
    hi.c.rs = static_cast<ptrdiff_t>(p.n);
    hi.c.cs = 1;
    run_split(lo, run);
    run_split(hi, run);
    for (size_t i = 0; i < p.m; ++i) {
        float* c = p.c.p + static_cast<ptrdiff_t>(i) * p.c.rs;
        const float* q = part.get() + i * p.n;
        for (size_t j = 0; j < p.n; ++j) c[static_cast<ptrdiff_t>(j) * p.c.cs] += q[j];
    }
}

}  // namespace

void small_generic(const Problem& p) {
    for (size_t t = 0; t < p.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        const float* a = p.a.p + it * p.a.bs;
        const float* b = p.b.p + it * p.b.bs;
        float* c = p.c.p + it * p.c.bs;
        for (size_t i = 0; i < p.m; ++i) {
            for (size_t j = 0; j < p.n; ++j) {
                float s = 0.0f;
                for (size_t q = 0; q < p.k; ++q)
                    s += a[static_cast<ptrdiff_t>(i) * p.a.rs + static_cast<ptrdiff_t>(q) * p.a.cs] *
                         b[static_cast<ptrdiff_t>(q) * p.b.rs + static_cast<ptrdiff_t>(j) * p.b.cs];
                c[static_cast<ptrdiff_t>(i) * p.c.rs + static_cast<ptrdiff_t>(j) * p.c.cs] = s;
            }
        }
    }
}

bool prepare_for_kernels(Problem& p) {
    if (!prepare(p)) return false;
    orient(p);
    return true;
}


bool beyond_small(const Problem& p) {
    const double m = static_cast<double>(p.m), n = static_cast<double>(p.n), k = static_cast<double>(p.k);
    const simd::Isa isa = simd::active_isa();
    // The portable small kernel is a plain loop: the packed one wins early.
    if (isa == simd::Isa::Generic) return m * n * k >= blocking::kPortablePackedMinWork;
    // Below ~128^3 multiply-adds the packing of a cache-blocked product loses
    // to register blocking alone.
    if (m * n * k < blocking::kPackedMinWork) return false;
    if (p.k > blocking::kPackedMinK) return true;
    // AVX2's small kernel keeps only thin products (see the limits).
    if (isa == simd::Isa::Avx2 && n > 32 &&
        (p.m > blocking::kAvx2SmallMaxRows || p.n > blocking::kAvx2SmallMaxCols || p.k > blocking::kAvx2SmallMaxK))
        return true;
    // The small kernels block for registers only and re-read A for every 64
    // columns of C. They stay ahead of the packed kernel while A stays within
    // about twice L2 (measured: 768^3 is a tie, 1024^3 is not).
    return n > 32 && m * k > blocking::kSmallReread;
}

void sgemm_using(SmallKernel kernel, const Problem& p) {
    run_split(p, [kernel](Problem q) {
        if (prepare_for_kernels(q)) kernel(q);
    });
}

}  // namespace detail

namespace {
// 16-bit operands as the kernels take them: bit patterns.
template <class T>
detail::HalfProblem bits(const Product<T>& p) {
    static_assert(sizeof(T) == sizeof(uint16_t));
    auto view = [](MatrixView<const T> v) {
        return MatrixView<const uint16_t>{reinterpret_cast<const uint16_t*>(v.p), v.bs, v.rs, v.cs};
    };
    return {p.batch, p.m, p.n, p.k, view(p.a), view(p.b), p.c, reinterpret_cast<uint16_t*>(p.h)};
}

void f16_run(detail::HalfProblem p) {
    if (!detail::prepare(p)) return;
    detail::orient(p);
    detail::isa_kernels().f16(p);
}

// A 16-bit result whose sums span several k blocks of its kernel keeps
// float32 partial sums between the blocks: a band of columns at a time (whole
// B blocks of the packed kernels), so that they never take the size of the
// whole result; each band is rounded once as it is narrowed. `gemm` computes
// one band into float32 (false: abandoned, C incomplete).
template <class E, class Gemm>
bool rounded_in_bands(const Product<E>& p, Gemm gemm) {
    if (p.batch == 0 || p.m == 0 || p.n == 0) return true;
    const size_t w = std::min(p.n, std::max<size_t>(64, blocking::kRoundedBandFloats / p.m / 64 * 64));
    std::unique_ptr<float[]> band(new float[p.m * w]);
    for (size_t t = 0; t < p.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        for (size_t j0 = 0; j0 < p.n; j0 += w) {
            const size_t nb = std::min(w, p.n - j0);
            if (!gemm(Product<E>{1, p.m, nb, p.k, {p.a.p + it * p.a.bs, 0, p.a.rs, p.a.cs},
                                 {p.b.p + it * p.b.bs + static_cast<ptrdiff_t>(j0) * p.b.cs, 0, p.b.rs, p.b.cs},
                                 {band.get(), 0, static_cast<ptrdiff_t>(nb), 1}}))
                return false;
            for (size_t i = 0; i < p.m; ++i) {
                E* row = p.h + it * p.c.bs + static_cast<ptrdiff_t>(i) * p.c.rs + static_cast<ptrdiff_t>(j0) * p.c.cs;
                const float* s = band.get() + i * nb;
                if (p.c.cs == 1)
                    simd::narrow(s, row, nb);
                else
                    for (size_t j = 0; j < nb; ++j) row[static_cast<ptrdiff_t>(j) * p.c.cs] = from_f32<E>(s[j]);
            }
        }
    }
    return true;
}
}  // namespace

bool f16_gemm(const Product<f16>& p) {
    if (!p.h) {
        // long sums split like float32 ones, for the same accuracy
        detail::run_split(bits(p), f16_run);
        return true;
    }
    if (p.k == 0) return false;
    if (p.k <= blocking::kPackedKC) {
        f16_run(bits(p));
        return true;
    }
    return rounded_in_bands(p, f16_gemm);
}

bool f16_packing_pays(double work, size_t m, size_t n, size_t k) {
    return work >= blocking::kF16MinWork && std::min({m, n, k}) >= blocking::kF16MinSide;
}

bool bf16_packing_pays(double work, size_t m, size_t n, size_t k) {
    return work >= blocking::kBf16MinWork && m >= blocking::kBf16MinRows && n >= blocking::kBf16MinCols &&
           k >= blocking::kBf16MinInner;
}

bool bf16_gemm(const Product<bf16>& p) {
    if (!bf16_products_supported()) return false;
    if (p.batch == 0 || p.m == 0 || p.n == 0) return true;
    if (p.k == 0) {
        for (size_t t = 0; t < p.batch; ++t)
            for (size_t i = 0; i < p.m; ++i)
                for (size_t j = 0; j < p.n; ++j) {
                    const ptrdiff_t at = static_cast<ptrdiff_t>(t) * p.c.bs + static_cast<ptrdiff_t>(i) * p.c.rs +
                                         static_cast<ptrdiff_t>(j) * p.c.cs;
                    if (p.h)
                        p.h[at] = bf16{0};
                    else
                        p.c.p[at] = 0.0f;
                }
        return true;
    }
    if (p.h && p.k > blocking::kBf16KC) return rounded_in_bands(p, bf16_gemm);
    detail::Bf16Problem q = bits(p);
    detail::fold_batch(q);
    return detail::bf16_avx512(q);
}

void sgemm(const Product<float>& p) { detail::run_split(p, detail::run); }

}  // namespace vorka::gemm
