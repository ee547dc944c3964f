#include "engine/cpu/numeric/gemm.hpp"

#include <blis.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "engine/cpu/numeric/gemm_kernels.hpp"
#include "engine/cpu/simd/cpu_features.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace vorka::gemm {
namespace detail {
namespace {

// An axis of extent 1 is never stepped along, so its stride is free: pick one
// that makes the matrix plainly row- or column-major. BLIS and our kernels
// then see unit strides wherever the data allows them.
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
        float* c = p.c + static_cast<ptrdiff_t>(t) * p.bsc;
        for (size_t i = 0; i < p.m; ++i)
            for (size_t j = 0; j < p.n; ++j)
                c[static_cast<ptrdiff_t>(i) * p.rsc + static_cast<ptrdiff_t>(j) * p.csc] = 0.0f;
    }
}

// Handles the empty cases and normalises strides; false when nothing is left
// to compute.
template <class PR>
bool prepare(PR& p) {
    if (p.batch == 0 || p.m == 0 || p.n == 0) return false;
    fold_batch(p);
    if (p.batch == 1) p.bsa = p.bsb = p.bsc = 0;
    normalise(p.m, p.n, p.rsc, p.csc);
    if (p.k == 0) {
        fill_zero(p);
        return false;
    }
    normalise(p.m, p.k, p.rsa, p.csa);
    normalise(p.k, p.n, p.rsb, p.csb);
    return true;
}

// The kernels vectorise along the columns of C. Computing C^T = B^T A^T
// instead pays off when that gives a longer or unit-stride vector axis.
template <class PR>
void orient(PR& p) {
    bool flip;
    if (p.m == 1 || p.n == 1)
        flip = p.n == 1 && p.m > 1;
    else if (p.csc == 1 || p.rsc == 1)
        flip = p.csc != 1;
    else
        flip = p.csb != 1 && p.rsa == 1;
    if (!flip) return;
    std::swap(p.m, p.n);
    std::swap(p.a, p.b);
    std::swap(p.bsa, p.bsb);
    const ptrdiff_t rsa = p.rsa, csa = p.csa;
    p.rsa = p.csb;
    p.csa = p.rsb;
    p.rsb = csa;
    p.csb = rsa;
    std::swap(p.rsc, p.csc);
}

// Callers pass positive strides; should a negative one arrive anyway, our
// kernels handle it and BLIS is not asked to.
bool any_negative(const Problem& p) {
    return (p.rsa | p.csa | p.rsb | p.csb | p.rsc | p.csc | p.bsa | p.bsb | p.bsc) < 0;
}

// BLIS's own run-time choice of configuration guesses from the CPU model and
// falls back to an AVX2 one on CPUs it cannot name (common under
// hypervisors), so the configuration is chosen here from the feature bits
// and handed to each call through the expert interface; BLIS's global
// state and the process environment stay untouched.
struct BlisEntry {
    BlisConfig config;
    arch_t arch;
};

// The configurations compiled into the library that this CPU can run, best
// first. skx needs AVX-512 F/DQ/BW/VL; haswell and zen3 share the AVX2 + FMA
// kernels and differ only in block sizes (they measured alike on Zen 4/5).
// Should a lookup fail, BLIS's own choice (a null context) is the fallback.
std::span<const BlisEntry> blis_entries() {
    static const auto list = [] {
        std::array<BlisEntry, 4> l{};
        size_t n = 0;
        const simd::CpuFeatures& f = simd::cpu_features();
        if (f.avx512_level()) l[n++] = {{"blis-skx"}, BLIS_ARCH_SKX};
        if (f.avx2_level()) {
            l[n++] = {{"blis-haswell"}, BLIS_ARCH_HASWELL};
            l[n++] = {{"blis-zen3"}, BLIS_ARCH_ZEN3};
        }
        l[n++] = {{"blis-generic"}, BLIS_ARCH_GENERIC};
        return std::pair{l, n};
    }();
    return {list.first.data(), list.second};
}

cntx_t* blis_context(size_t index) {
    // BLIS initialises itself on first use; doing it here under a guarded
    // static keeps concurrent first calls from racing on its global state.
    static const bool initialised = [] {
        bli_init();
        return true;
    }();
    (void)initialised;
    const std::span<const BlisEntry> e = blis_entries();
    cntx_t** c = bli_gks_lookup_id(e[index].arch);
    return c != nullptr ? c[BLIS_NAT] : nullptr;
}

// The kernels follow the element-wise loops' instruction set, so that
// forcing an older one (simd::force_isa) covers every path of older CPUs.
simd::Isa kernel_isa() { return simd::active_isa(); }
static_assert(static_cast<int>(simd::Isa::Generic) == 0 && static_cast<int>(simd::Isa::Avx2) == 1 &&
              static_cast<int>(simd::Isa::Avx512) == 2);

// For each instruction set, the first listed configuration that needs no more
// than it and that the library actually holds.
cntx_t* default_blis_context() {
    static const std::array<cntx_t*, 3> by_isa = [] {
        auto needs = [](arch_t a) { return a == BLIS_ARCH_SKX ? 2 : a == BLIS_ARCH_GENERIC ? 0 : 1; };
        std::array<cntx_t*, 3> r{};
        for (int level = 0; level < 3; ++level)
            for (size_t i = 0; i < blis_entries().size() && r[level] == nullptr; ++i)
                if (needs(blis_entries()[i].arch) <= level) r[level] = blis_context(i);
        return r;
    }();
    return by_isa[static_cast<size_t>(kernel_isa())];
}

void run_blis(const Problem& p, cntx_t* cntx) {
    // BLIS's unpacked small/skinny ("sup") kernels load past the edges of
    // the operands they are handed (memcheck shows reads before and after
    // them), which could fault at the edge of a mapping. The packed path only
    // reads within the operands, so that is the only one we use.
    rntm_t rntm;
    bli_rntm_init(&rntm);
    bli_rntm_set_num_threads_only(1, &rntm);
    bli_rntm_disable_l3_sup(&rntm);
    float one = 1.0f, zero = 0.0f;  // beta == 0: BLIS never reads C
    for (size_t t = 0; t < p.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        bli_sgemm_ex(BLIS_NO_TRANSPOSE, BLIS_NO_TRANSPOSE,
                     static_cast<dim_t>(p.m), static_cast<dim_t>(p.n), static_cast<dim_t>(p.k), &one,
                     const_cast<float*>(p.a + it * p.bsa), p.rsa, p.csa,
                     const_cast<float*>(p.b + it * p.bsb), p.rsb, p.csb, &zero,
                     p.c + it * p.bsc, p.rsc, p.csc, cntx, &rntm);
    }
}

void run_blis(const Problem& p) { run_blis(p, default_blis_context()); }

void run_small(const Problem& p) {
    const auto k = available_small_kernels();  // generic, avx2, avx512: as far as the CPU goes
    k[std::min(k.size() - 1, static_cast<size_t>(kernel_isa()))].fn(p);
}

void run(Problem p) {
    if (!prepare_for_kernels(p)) return;
    // Large products: our packed kernel where the CPU has AVX-512 (measured
    // level with or ahead of BLIS's skx configuration, see the README), else
    // BLIS in the configuration the CPU supports. Negative strides, which
    // BLIS is not handed, stay with our kernels.
    if (!beyond_small(p)) {
        run_small(p);
    } else if (const SmallKernel packed = packed_kernel()) {
        packed(p);
    } else if (!any_negative(p)) {
        run_blis(p);
    } else {
        run_small(p);
    }
}

// Every kernel sums along k in sequence (per register lane, per cache block),
// so the rounding error of a long product grows with k. Longer ones are split
// in halves, computed apart and added, which makes it grow like log k beyond
// this length for one more pass over C per level. Shorter ones keep their bits.
constexpr size_t kLongK = 4096;

// `run` computes a problem of float32 C.
template <class PR, class Run>
void run_split(const PR& p, Run run) {
    if (p.k <= kLongK || p.batch == 0 || p.m == 0 || p.n == 0) return run(p);
    if (p.batch > 1) {  // one item at a time: the partial results stay the size of one C
        for (size_t t = 0; t < p.batch; ++t) {
            const ptrdiff_t it = static_cast<ptrdiff_t>(t);
            PR q = p;
            q.batch = 1;
            q.a += it * p.bsa;
            q.b += it * p.bsb;
            q.c += it * p.bsc;
            run_split(q, run);
        }
        return;
    }
    const size_t half = p.k / 2;
    PR lo = p, hi = p;
    lo.k = half;
    hi.k = p.k - half;
    hi.a += static_cast<ptrdiff_t>(half) * p.csa;
    hi.b += static_cast<ptrdiff_t>(half) * p.rsb;
    std::unique_ptr<float[]> part(new float[p.m * p.n]);
    hi.c = part.get();
    hi.rsc = static_cast<ptrdiff_t>(p.n);
    hi.csc = 1;
    run_split(lo, run);
    run_split(hi, run);
    for (size_t i = 0; i < p.m; ++i) {
        float* c = p.c + static_cast<ptrdiff_t>(i) * p.rsc;
        const float* q = part.get() + i * p.n;
        for (size_t j = 0; j < p.n; ++j) c[static_cast<ptrdiff_t>(j) * p.csc] += q[j];
    }
}

}  // namespace

void small_generic(const Problem& p) {
    for (size_t t = 0; t < p.batch; ++t) {
        const ptrdiff_t it = static_cast<ptrdiff_t>(t);
        const float* a = p.a + it * p.bsa;
        const float* b = p.b + it * p.bsb;
        float* c = p.c + it * p.bsc;
        for (size_t i = 0; i < p.m; ++i) {
            for (size_t j = 0; j < p.n; ++j) {
                float s = 0.0f;
                for (size_t q = 0; q < p.k; ++q)
                    s += a[static_cast<ptrdiff_t>(i) * p.rsa + static_cast<ptrdiff_t>(q) * p.csa] *
                         b[static_cast<ptrdiff_t>(q) * p.rsb + static_cast<ptrdiff_t>(j) * p.csb];
                c[static_cast<ptrdiff_t>(i) * p.rsc + static_cast<ptrdiff_t>(j) * p.csc] = s;
            }
        }
    }
}

std::span<const NamedKernel> available_small_kernels() {
    static const auto list = [] {
        std::array<NamedKernel, 3> l{};
        size_t n = 0;
        l[n++] = {"generic", small_generic};
        const simd::CpuFeatures& f = simd::cpu_features();
        if (f.avx2_level()) l[n++] = {"avx2", small_avx2};
        if (f.avx512_level()) l[n++] = {"avx512", small_avx512};
        return std::pair{l, n};
    }();
    return {list.first.data(), list.second};
}

bool prepare_for_kernels(Problem& p) {
    if (!prepare(p)) return false;
    orient(p);
    return true;
}

SmallKernel packed_kernel() {
    static const SmallKernel k = [] {
        return simd::cpu_features().avx512_level() ? packed_avx512 : SmallKernel{};
    }();
    return kernel_isa() == simd::Isa::Avx512 ? k : SmallKernel{};
}

HalfKernel f16_kernel() {
    switch (kernel_isa()) {
        case simd::Isa::Avx512:
            return packed_avx512_f16;
        case simd::Isa::Avx2:
            return packed_avx2_f16;
        default:
            return nullptr;
    }
}

bool beyond_small(const Problem& p) {
    const double m = static_cast<double>(p.m), n = static_cast<double>(p.n), k = static_cast<double>(p.k);
    // Below ~128^3 multiply-adds the packing of a cache-blocked GEMM (and
    // BLIS's fixed cost of ~0.3 us per call) loses to register blocking alone.
    if (m * n * k < 0x1p21) return false;
    if (k > 2048) return true;
    // The small kernels block for registers only: the outer-product one
    // re-reads A for every 64 columns of C, the dot-product one B for every 4
    // rows. They stay ahead of the packed kernel while the re-read operand
    // stays within about twice L2 (measured: 768^3 is a tie, 1024^3 is not).
    constexpr double kL2Floats = 0x1p19;
    if (prefer_inner(p)) return m > 4 && k * n > kL2Floats;
    return n > 32 && m * k > kL2Floats;
}

void sgemm_batch_using(SmallKernel kernel, size_t batch, size_t m, size_t n, size_t k,
                       const float* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                       const float* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                       float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    Problem p{batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc};
    if (!prepare_for_kernels(p)) return;
    if (kernel == nullptr && !any_negative(p))
        run_blis(p);
    else if (kernel == nullptr)
        run_small(p);
    else
        kernel(p);
}

std::vector<BlisConfig> available_blis_configs() {
    std::vector<BlisConfig> v;
    for (size_t i = 0; i < blis_entries().size(); ++i)
        if (blis_context(i) != nullptr) v.push_back(blis_entries()[i].config);
    return v;
}

void sgemm_batch_blis(std::string_view config, size_t batch, size_t m, size_t n, size_t k,
                      const float* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                      const float* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                      float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    Problem p{batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc};
    if (!prepare_for_kernels(p)) return;
    for (size_t i = 0; i < blis_entries().size(); ++i)
        if (blis_entries()[i].config.name == config) {
            cntx_t* cntx = blis_context(i);
            if (cntx != nullptr && !any_negative(p)) return run_blis(p, cntx);
        }
    run_small(p);
}

}  // namespace detail

bool f16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                    const f16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                    const f16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                    float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    static_assert(sizeof(f16) == sizeof(uint16_t));
    const detail::HalfKernel kernel = detail::f16_kernel();
    if (!kernel) return false;
    // long sums split like float32 ones, for the same accuracy
    detail::run_split(detail::HalfProblem{batch, m, n, k, reinterpret_cast<const uint16_t*>(a), bsa, rsa, csa,
                                          reinterpret_cast<const uint16_t*>(b), bsb, rsb, csb, c, nullptr, bsc, rsc,
                                          csc},
                      [kernel](detail::HalfProblem p) {
                          if (detail::prepare(p)) {
                              detail::orient(p);
                              kernel(p);
                          }
                      });
    return true;
}

bool f16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                    const f16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                    const f16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                    f16* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    const detail::HalfKernel kernel = detail::f16_kernel();
    if (!kernel || k == 0 || k > detail::kPackedKC) return false;
    detail::HalfProblem p{batch, m, n, k, reinterpret_cast<const uint16_t*>(a), bsa, rsa, csa,
                          reinterpret_cast<const uint16_t*>(b), bsb, rsb, csb, nullptr,
                          reinterpret_cast<uint16_t*>(c), bsc, rsc, csc};
    if (detail::prepare(p)) {
        detail::orient(p);
        kernel(p);
    }
    return true;
}

bool f16_products_supported() { return detail::f16_kernel() != nullptr; }

bool bf16_products_supported() {
    return simd::cpu_features().avx512_bf16_level() && detail::kernel_isa() == simd::Isa::Avx512;
}

bool bf16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                     const bf16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                     const bf16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                     float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    static_assert(sizeof(bf16) == sizeof(uint16_t));
    if (!bf16_products_supported()) return false;
    detail::Bf16Problem p{batch, m, n, k, reinterpret_cast<const uint16_t*>(a), bsa, rsa, csa,
                          reinterpret_cast<const uint16_t*>(b), bsb, rsb, csb, c, nullptr, bsc, rsc, csc};
    if (m != 0 && n != 0) detail::fold_batch(p);
    return detail::bf16_avx512(p);
}

bool bf16_gemm_batch(size_t batch, size_t m, size_t n, size_t k,
                     const bf16* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                     const bf16* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                     bf16* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    if (!bf16_products_supported()) return false;
    detail::Bf16Problem p{batch, m, n, k, reinterpret_cast<const uint16_t*>(a), bsa, rsa, csa,
                          reinterpret_cast<const uint16_t*>(b), bsb, rsb, csb, nullptr,
                          reinterpret_cast<uint16_t*>(c), bsc, rsc, csc};
    if (m != 0 && n != 0) detail::fold_batch(p);
    return detail::bf16_avx512(p);
}

void sgemm(size_t m, size_t n, size_t k,
           const float* a, ptrdiff_t rsa, ptrdiff_t csa,
           const float* b, ptrdiff_t rsb, ptrdiff_t csb,
           float* c, ptrdiff_t rsc, ptrdiff_t csc) {
    detail::run_split(detail::Problem{1, m, n, k, a, 0, rsa, csa, b, 0, rsb, csb, c, 0, rsc, csc}, detail::run);
}

void sgemm_batch(size_t batch, size_t m, size_t n, size_t k,
                 const float* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
                 const float* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
                 float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    detail::run_split(detail::Problem{batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc},
                      detail::run);
}

}  // namespace vorka::gemm
