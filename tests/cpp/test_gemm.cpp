#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "engine/cpu/numeric/formats.hpp"
#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace {

using vorka::gemm::detail::SmallKernel;
namespace detail = vorka::gemm::detail;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// How a rows x cols matrix sits in memory.
struct Layout {
    const char* name;
    ptrdiff_t (*rs)(size_t rows, size_t cols);
    ptrdiff_t (*cs)(size_t rows, size_t cols);
    bool output_ok;  // false when elements overlap (read-only views)
};

ptrdiff_t P(size_t v) { return static_cast<ptrdiff_t>(v); }

const Layout kLayouts[] = {
    {"row", [](size_t, size_t c) { return P(c); }, [](size_t, size_t) { return P(1); }, true},
    {"col", [](size_t, size_t) { return P(1); }, [](size_t r, size_t) { return P(r); }, true},
    {"rowpad", [](size_t, size_t c) { return P(c + 3); }, [](size_t, size_t) { return P(1); }, true},
    // both strides > 1, as after swapping axes of a 3-d array
    {"strided", [](size_t, size_t c) { return P(2 * c + 1); }, [](size_t, size_t) { return P(2); }, true},
    {"strided_t", [](size_t, size_t) { return P(3); }, [](size_t r, size_t) { return P(3 * r + 1); }, true},
    // extent-1 axes carry strides that must never be followed
    {"unit0", [](size_t r, size_t c) { return r == 1 ? P(0) : P(c); },
     [](size_t, size_t c) { return c == 1 ? P(0) : P(1); }, true},
    {"unit_odd", [](size_t r, size_t c) { return r == 1 ? P(1000003) : P(1); },
     [](size_t r, size_t c) { return c == 1 ? P(77777) : P(r); }, true},
    // overlapping rows: element (i, j) at i + j
    {"hankel", [](size_t, size_t) { return P(1); }, [](size_t, size_t) { return P(1); }, false},
};

// A strided view into a buffer of NaNs, so reads of unused slots poison the
// result and writes outside the view are detectable.
template <class T>
struct MatT {
    size_t rows = 0, cols = 0;
    ptrdiff_t rs = 0, cs = 0;
    std::vector<T> buf;

    MatT(size_t r, size_t c, const Layout& l, T nan) : rows(r), cols(c), rs(l.rs(r, c)), cs(l.cs(r, c)) {
        buf.assign(1 + (r > 1 && c ? off(r - 1, 0) : 0) + (c > 1 && r ? off(0, c - 1) : 0) + 5, nan);
    }
    size_t off(size_t i, size_t j) const {
        return (i > 0 ? i * static_cast<size_t>(rs) : 0) + (j > 0 ? j * static_cast<size_t>(cs) : 0);
    }
    T& at(size_t i, size_t j) { return buf[off(i, j)]; }
    T at(size_t i, size_t j) const { return buf[off(i, j)]; }
    T* data() { return buf.data(); }
    const T* data() const { return buf.data(); }
};

struct Mat : MatT<float> {
    Mat(size_t r, size_t c, const Layout& l) : MatT(r, c, l, kNaN) {}
    // Small integers keep every product and partial sum exact in float32.
    void fill(std::mt19937& rng, bool integers) {
        std::uniform_int_distribution<int> di(-4, 4);
        std::uniform_real_distribution<float> df(-1.0f, 1.0f);
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < cols; ++j) at(i, j) = integers ? static_cast<float>(di(rng)) : df(rng);
    }
};

struct Ref {
    std::vector<double> val, bound;  // exact-ish value and sum |a||b| per element
};

Ref reference(const Mat& a, const Mat& b) {
    Ref r;
    r.val.assign(a.rows * b.cols, 0.0);
    r.bound.assign(a.rows * b.cols, 0.0);
    for (size_t i = 0; i < a.rows; ++i)
        for (size_t j = 0; j < b.cols; ++j)
            for (size_t p = 0; p < a.cols; ++p) {
                const double x = static_cast<double>(a.at(i, p)) * b.at(p, j);
                r.val[i * b.cols + j] += x;
                r.bound[i * b.cols + j] += std::fabs(x);
            }
    return r;
}

// Every element of the view matches the reference and nothing outside it
// was written.
void expect_matches(const Mat& c, const Ref& ref, size_t k, bool exact, const std::string& what) {
    std::vector<bool> inside(c.buf.size(), false);
    size_t bad = 0;
    for (size_t i = 0; i < c.rows; ++i)
        for (size_t j = 0; j < c.cols; ++j) {
            inside[c.off(i, j)] = true;
            const double got = c.at(i, j), want = ref.val[i * c.cols + j];
            const double tol = exact ? 0.0 : 2.0 * (static_cast<double>(k) + 2) * 0x1p-24 * ref.bound[i * c.cols + j];
            if (!(std::fabs(got - want) <= tol) && bad++ < 5)
                ADD_FAILURE() << what << ": C[" << i << "][" << j << "] = " << got << ", want " << want;
        }
    for (size_t s = 0; s < c.buf.size(); ++s)
        if (!inside[s] && !std::isnan(c.buf[s]) && bad++ < 5)
            ADD_FAILURE() << what << ": wrote outside C at slot " << s;
}

struct Shape {
    size_t m, n, k;
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.m << "x" << s.n << "x" << s.k; }

// Every way of computing a product: the size-based dispatch, each BLIS
// configuration and each of our kernels (small and packed) the CPU supports.
struct Path {
    std::string name;
    std::string blis;     // a BLIS configuration, or empty
    SmallKernel kernel;   // null (and no BLIS configuration): sgemm itself
};

std::vector<Path> all_paths() {
    std::vector<Path> p{{"sgemm", "", nullptr}};
    for (const auto& c : detail::available_blis_configs())
        p.push_back({std::string(c.name), std::string(c.name), nullptr});
    for (const auto& k : detail::available_small_kernels()) p.push_back({std::string(k.name), "", k.fn});
    if (detail::packed_kernel()) p.push_back({"packed", "", detail::packed_kernel()});
    return p;
}

void run_path(const Path& path, size_t batch, size_t m, size_t n, size_t k,
              const float* a, ptrdiff_t bsa, ptrdiff_t rsa, ptrdiff_t csa,
              const float* b, ptrdiff_t bsb, ptrdiff_t rsb, ptrdiff_t csb,
              float* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
    if (!path.blis.empty())
        detail::sgemm_batch_blis(path.blis, batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc);
    else if (path.kernel != nullptr)
        detail::sgemm_batch_using(path.kernel, batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc);
    else if (batch == 1)
        vorka::gemm::sgemm(m, n, k, a, rsa, csa, b, rsb, csb, c, rsc, csc);
    else
        vorka::gemm::sgemm_batch(batch, m, n, k, a, bsa, rsa, csa, b, bsb, rsb, csb, c, bsc, rsc, csc);
}

// ---- 16-bit products: bfloat16 (AVX512-BF16) and float16 (each kernel) ----

using vorka::bf16;
using vorka::f16;
template <class H>
constexpr bool kF16 = std::is_same_v<H, f16>;
template <class H>
constexpr H kHalfNaN{kF16<H> ? uint16_t{0x7E01} : uint16_t{0x7FC1}};

// float16: normal values; bfloat16: many binades of the exact range, with exact zeros.
template <class H>
void fill(MatT<H>& m, std::mt19937& rng) {
    std::normal_distribution<float> nd;
    std::uniform_int_distribution<int> exp(127 - 30, 127 + 30), mant(0, 127), coin(0, 15);
    for (size_t i = 0; i < m.rows; ++i)
        for (size_t j = 0; j < m.cols; ++j)
            if constexpr (kF16<H>)
                m.at(i, j) = vorka::f32_to_f16(nd(rng));
            else
                m.at(i, j) = coin(rng) == 0 ? bf16{static_cast<uint16_t>(coin(rng) & 1 ? 0x8000 : 0)}
                                            : bf16{static_cast<uint16_t>((coin(rng) & 1) << 15 | exp(rng) << 7 |
                                                                         mant(rng))};
}

// The documented order, each product exact, each sum rounded once in float32:
// k = 0, 1, 2, ... for float16; k = 1, 0, 3, 2, ... for bfloat16.
template <class H>
float chain(const MatT<H>& a, const MatT<H>& b, size_t i, size_t j) {
    float acc = 0.0f;
    for (size_t p = 0; p < a.cols; ++p) {
        const size_t q = kF16<H> || (p + 1 == a.cols && p % 2 == 0) ? p : p ^ 1;
        acc = acc + vorka::to_f32(a.at(i, q)) * vorka::to_f32(b.at(q, j));
    }
    return acc;
}

// Items apart (A with gaps, B shared), A shared, or stacked (A and C back to
// back), into float32 and 16-bit C: every element bit-exact against the chain,
// nothing written outside C. A 16-bit C takes float16 sums within one block only.
template <class H>
void check_half(const Shape& s, const Layout& la, const Layout& lb, const Layout& lc, size_t batch, bool share_a,
                std::mt19937& rng, bool stacked = false) {
    std::vector<MatT<H>> as, bs;
    std::vector<H> abuf, bbuf;
    for (size_t t = 0; t < batch; ++t) {
        if (t == 0 || !share_a) fill(as.emplace_back(s.m, s.k, la, kHalfNaN<H>), rng);
        if (t == 0 || share_a) fill(bs.emplace_back(s.k, s.n, lb, kHalfNaN<H>), rng);
    }
    const size_t asz = stacked ? s.m * s.k : as[0].buf.size();
    for (auto& x : as) abuf.insert(abuf.end(), x.buf.begin(), x.buf.begin() + P(asz));
    for (auto& x : bs) bbuf.insert(bbuf.end(), x.buf.begin(), x.buf.end());
    const ptrdiff_t bsa = share_a ? 0 : P(asz), bsb = share_a ? P(bs[0].buf.size()) : 0;
    const Mat c0(s.m, s.n, lc);
    const size_t csz = c0.buf.size();
    std::vector<float> c(batch * csz, kNaN);
    std::vector<H> h(batch * csz, kHalfNaN<H>);
    auto run = [&](auto* out) {
        if constexpr (kF16<H>)
            return vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, abuf.data(), bsa, as[0].rs, as[0].cs,
                                               bbuf.data(), bsb, bs[0].rs, bs[0].cs, out, P(csz), c0.rs, c0.cs);
        else
            return vorka::gemm::bf16_gemm_batch(batch, s.m, s.n, s.k, abuf.data(), bsa, as[0].rs, as[0].cs,
                                                bbuf.data(), bsb, bs[0].rs, bs[0].cs, out, P(csz), c0.rs, c0.cs);
    };
    const bool ran = run(c.data());  // float16: declined only without a kernel
    ASSERT_EQ(ran, !kF16<H> || vorka::gemm::f16_products_supported());
    if (!ran) return;
    const bool narrowed = run(h.data());
    ASSERT_EQ(narrowed, !kF16<H> || s.k <= detail::kPackedKC);
    std::vector<bool> inside(csz, false);
    for (size_t i = 0; i < s.m; ++i)
        for (size_t j = 0; j < s.n; ++j) inside[c0.off(i, j)] = true;
    size_t bad = 0;
    for (size_t t = 0; t < batch; ++t)
        for (size_t i = 0; i < s.m; ++i)
            for (size_t j = 0; j < s.n; ++j) {
                const float want = chain(as[share_a ? 0 : t], bs[share_a ? t : 0], i, j);
                const float got = c[t * csz + c0.off(i, j)];
                const uint16_t got16 = h[t * csz + c0.off(i, j)].bits;
                const uint16_t want16 = narrowed ? vorka::from_f32<H>(want).bits : kHalfNaN<H>.bits;
                if ((std::memcmp(&want, &got, sizeof got) != 0 || got16 != want16) && bad++ < 5)
                    ADD_FAILURE() << "item " << t << " C[" << i << "][" << j << "] = " << got << " / " << std::hex
                                  << got16 << std::dec << ", want " << want;
            }
    for (size_t q = 0; q < batch * csz; ++q)
        if (!inside[q % csz] && (!std::isnan(c[q]) || h[q].bits != kHalfNaN<H>.bits) && bad++ < 5)
            ADD_FAILURE() << "wrote outside C at slot " << q;
}

void check_product(const Shape& s, const Layout& la, const Layout& lb, const Layout& lc, bool integers,
                   uint32_t seed) {
    std::mt19937 rng(seed);
    Mat a(s.m, s.k, la), b(s.k, s.n, lb);
    a.fill(rng, integers);
    b.fill(rng, integers);
    const Ref ref = reference(a, b);
    const std::string what = std::string(la.name) + "*" + lb.name + "->" + lc.name + " " + std::to_string(s.m) + "x" +
                             std::to_string(s.n) + "x" + std::to_string(s.k);
    for (const Path& path : all_paths()) {
        Mat c(s.m, s.n, lc);
        run_path(path, 1, s.m, s.n, s.k, a.data(), 0, a.rs, a.cs, b.data(), 0, b.rs, b.cs, c.data(), 0, c.rs, c.cs);
        expect_matches(c, ref, s.k, integers, path.name + " " + what);
    }
    if (s.k > 0 && s.k <= 4096) {  // longer sums are split, no longer one chain
        SCOPED_TRACE(what + " f16");
        check_half<vorka::f16>(s, la, lb, lc, 2, false, rng);
    }
}

// Every layout combination on shapes that hit the edge cases (all = true);
// four combinations around our blocking, BLIS's and the dispatch threshold.
struct ShapeCase {
    Shape s;
    bool all;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { PrintTo(c.s, os); }

class GemmShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(GemmShapes, MatchReference) {
    const auto [s, all] = GetParam();
    if (!all) {
        const Layout &row = kLayouts[0], &col = kLayouts[1], &strided = kLayouts[3];
        check_product(s, row, row, row, true, 11);
        check_product(s, row, col, row, true, 12);
        check_product(s, col, row, col, false, 13);
        check_product(s, strided, col, strided, false, 14);
        return;
    }
    for (const Layout& la : kLayouts)
        for (const Layout& lb : kLayouts)
            for (const Layout& lc : kLayouts) {
                if (!lc.output_ok) continue;
                const uint32_t seed = 1u + P(&la - kLayouts) * 64 + P(&lb - kLayouts) * 8 + P(&lc - kLayouts);
                check_product(s, la, lb, lc, /*integers=*/true, seed);
                check_product(s, la, lb, lc, /*integers=*/false, seed + 1000);
            }
}

std::vector<ShapeCase> shape_cases() {
    std::vector<ShapeCase> v;
    for (Shape s : {Shape{1, 1, 1}, Shape{1, 1, 37}, Shape{1, 19, 1}, Shape{23, 1, 1}, Shape{1, 40, 33},
                    Shape{35, 1, 40}, Shape{5, 7, 1}, Shape{3, 3, 3}, Shape{8, 8, 8}, Shape{9, 17, 5},
                    Shape{7, 33, 19}, Shape{13, 9, 70}, Shape{33, 40, 17}, Shape{7, 70, 9}})
        v.push_back({s, true});
    for (Shape s : {
             // tiles of the small kernels: 6/8 rows, 8/16/32 columns, k-chunks of 256
             Shape{6, 32, 256}, Shape{7, 31, 257}, Shape{8, 16, 255}, Shape{17, 47, 300}, Shape{49, 65, 1},
             // tall and skinny
             Shape{1000, 3, 5}, Shape{3, 1000, 5}, Shape{2, 2, 3000}, Shape{1, 1, 5000}, Shape{700, 700, 1},
             // either side of the small/large threshold (see below)
             Shape{127, 128, 128}, Shape{128, 128, 128}, Shape{1100, 40, 520}, Shape{32, 32, 2100},
             Shape{1, 4096, 64}, Shape{4096, 1, 64},
             // BLIS's zen3/haswell blocking: MR 6, NR 16, MC 144/168, KC 256
             Shape{145, 17, 257}, Shape{150, 160, 520}, Shape{288, 33, 255}, Shape{167, 15, 257},
             // and skx's: MR 32, NR 12, MC 480, KC 384
             Shape{481, 13, 385}, Shape{479, 11, 383}, Shape{33, 25, 769},
             // the packed kernel's: MR 8, NR 32, KC 256, MC 256, NC 512 or 1024 (half of L2)
             Shape{263, 1061, 300}, Shape{31, 2049, 40}, Shape{255, 1023, 257}})
        v.push_back({s, false});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Gemm, GemmShapes, ::testing::ValuesIn(shape_cases()),
                         [](const ::testing::TestParamInfo<ShapeCase>& info) {
                             const Shape s = info.param.s;
                             return std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k) +
                                    (info.param.all ? "_all" : "");
                         });

bool goes_large(size_t m, size_t n, size_t k) {
    detail::Problem p{1, m, n, k, nullptr, 0, P(k), 1, nullptr, 0, P(n), 1, nullptr, 0, P(n), 1};
    return detail::prepare_for_kernels(p) && detail::beyond_small(p);
}

// The size tests above must reach the packed kernel (or BLIS) through sgemm,
// not only when forced.
TEST(Gemm, ThresholdSplitsSmallFromLarge) {
    for (Shape s : {Shape{1, 1, 1}, Shape{8, 8, 8}, Shape{127, 128, 128}, Shape{128, 128, 128}, Shape{520, 40, 260}})
        EXPECT_FALSE(goes_large(s.m, s.n, s.k)) << s.m << "x" << s.n << "x" << s.k;
    for (Shape s : {Shape{1100, 40, 520}, Shape{32, 32, 2100}, Shape{1024, 1024, 1024},
                    Shape{size_t{1} << 40, size_t{1} << 40, 2}})  // m * n * k must not wrap
        EXPECT_TRUE(goes_large(s.m, s.n, s.k)) << s.m << "x" << s.n << "x" << s.k;
}

// Empty products write zeros over garbage (k = 0) or touch nothing (m, n or
// batch 0); garbage in C never leaks into a result (0 * inf = NaN).
TEST(Gemm, EmptyProductsAndGarbageInC) {
    float a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4};
    for (const Path& path : all_paths()) {
        for (const Layout& l : kLayouts) {
            if (!l.output_ok) continue;
            Mat c(5, 7, l);
            run_path(path, 1, 5, 7, 0, nullptr, 0, 1, 1, nullptr, 0, 1, 1, c.data(), 0, c.rs, c.cs);
            expect_matches(c, Ref{std::vector<double>(35, 0.0), std::vector<double>(35, 0.0)}, 0, true,
                           path.name + " k=0 " + l.name);
        }
        float c[8];
        std::fill(std::begin(c), std::end(c), 42.0f);
        run_path(path, 1, 0, 2, 2, a, 0, 2, 1, b, 0, 2, 1, c, 0, 2, 1);
        run_path(path, 1, 2, 0, 2, a, 0, 2, 1, b, 0, 2, 1, c, 0, 2, 1);
        run_path(path, 3, 0, 0, 0, nullptr, 0, 0, 0, nullptr, 0, 0, 0, c, 0, 0, 0);
        run_path(path, 0, 2, 2, 2, a, 0, 2, 1, b, 0, 2, 1, c, 4, 2, 1);
        for (float x : c) EXPECT_EQ(x, 42.0f) << path.name;
        for (float garbage : {kNaN, std::numeric_limits<float>::infinity(), -1e30f}) {
            std::vector<float> a1(96 * 96, 1.0f), b1(96 * 96, 0.5f), c1(96 * 96, garbage);
            run_path(path, 1, 96, 96, 96, a1.data(), 0, 96, 1, b1.data(), 0, 96, 1, c1.data(), 0, 96, 1);
            for (float x : c1) ASSERT_EQ(x, 48.0f) << path.name;
        }
    }
}

// ---- batches: items apart (gaps between them), stacked back to back, or one
// operand shared (batch stride 0); long k (summed in halves) item by item ----

struct BatchCase {
    Shape s;
    bool share_a, share_b, stacked;
};
void PrintTo(const BatchCase& c, std::ostream* os) {
    PrintTo(c.s, os);
    *os << (c.share_a ? " shared A" : "") << (c.share_b ? " shared B" : "") << (c.stacked ? " stacked" : "");
}

class GemmBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(GemmBatch, EachItemMatches) {
    const auto [s, share_a, share_b, stacked] = GetParam();
    const size_t batch = 5;
    std::mt19937 rng(99);
    // stacked around a shared B: row-major items of A and C, one taller product;
    // around a shared A: column-major items of B and C, one wider product
    const bool tall = stacked && share_b, wide = stacked && share_a;
    const Layout &la = kLayouts[wide ? 3 : 0], &lb = kLayouts[tall ? 3 : 1], &lc = kLayouts[tall ? 0 : wide ? 1 : 3];
    auto stack = [&](size_t r, size_t c, const Layout& l, bool shared, std::vector<Mat>& items, size_t gap) {
        for (size_t t = 0; t < (shared ? 1 : batch); ++t) items.emplace_back(r, c, l);
        for (auto& it : items) it.fill(rng, true);
        const size_t sz = stacked && !shared ? r * c : items[0].buf.size() + gap;
        std::vector<float> buf(sz * items.size() + items[0].buf.size(), kNaN);
        for (size_t t = 0; t < items.size(); ++t)
            std::copy(items[t].buf.begin(), items[t].buf.begin() + P(std::min(sz, items[t].buf.size())),
                      buf.begin() + P(t * sz));
        return std::pair{buf, shared ? ptrdiff_t{0} : P(sz)};
    };
    std::vector<Mat> as, bs;
    const auto [abuf, bsa] = stack(s.m, s.k, la, share_a, as, 3);
    const auto [bbuf, bsb] = stack(s.k, s.n, lb, share_b, bs, 1);
    for (const Path& path : all_paths()) {
        Mat c0(s.m, s.n, lc);
        const size_t csz = stacked ? s.m * s.n : c0.buf.size() + 2;
        std::vector<float> cbuf(csz * batch + c0.buf.size(), kNaN);
        std::fill(cbuf.begin() + P(csz * batch), cbuf.end(), 7.0f);  // not NaN: a NaN item written there shows
        run_path(path, batch, s.m, s.n, s.k, abuf.data(), bsa, as[0].rs, as[0].cs, bbuf.data(), bsb, bs[0].rs,
                 bs[0].cs, cbuf.data(), P(csz), c0.rs, c0.cs);
        for (size_t t = 0; t < batch; ++t) {
            Mat c(s.m, s.n, lc);
            std::copy(cbuf.begin() + P(t * csz), cbuf.begin() + P(t * csz + std::min(csz, c.buf.size())),
                      c.buf.begin());
            for (size_t g = c.buf.size(); g < csz; ++g) EXPECT_TRUE(std::isnan(cbuf[t * csz + g])) << path.name;
            expect_matches(c, reference(as[share_a ? 0 : t], bs[share_b ? 0 : t]), s.k, true,
                           path.name + " item " + std::to_string(t));
        }
        for (size_t g = batch * csz; g < cbuf.size(); ++g)
            ASSERT_EQ(cbuf[g], 7.0f) << path.name << " past the last item";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gemm, GemmBatch,
    ::testing::Values(BatchCase{{8, 8, 8}, false, false, false}, BatchCase{{8, 8, 8}, true, false, false},
                      BatchCase{{8, 8, 8}, false, true, false}, BatchCase{{3, 20, 40}, true, true, false},
                      BatchCase{{1, 1, 9}, false, true, false}, BatchCase{{70, 65, 66}, false, true, false},
                      BatchCase{{3, 2, 4099}, false, true, false}, BatchCase{{2, 3, 4500}, true, false, false},
                      BatchCase{{8, 8, 8}, false, true, true}, BatchCase{{8, 8, 8}, true, false, true},
                      BatchCase{{1, 7, 9}, false, true, true}, BatchCase{{1, 7, 9}, true, false, true},
                      BatchCase{{7, 1, 9}, false, true, true}, BatchCase{{7, 1, 9}, true, false, true},
                      BatchCase{{33, 40, 17}, false, true, true}, BatchCase{{33, 40, 17}, true, false, true},
                      BatchCase{{32, 32, 300}, false, true, true}, BatchCase{{32, 32, 300}, true, false, true}));

// ---- threads ----

bool concurrent_products_agree() {
    const size_t n = 200;  // above the threshold: the packed kernel (or BLIS) does the work
    std::vector<float> a(n * n), b(n * n);
    for (size_t i = 0; i < n * n; ++i) {
        a[i] = static_cast<float>(static_cast<int>(i % 7) - 3);
        b[i] = static_cast<float>(static_cast<int>(i % 5) - 2);
    }
    std::vector<float> want(n * n), got[2];
    bool ok[2] = {true, true};
    std::thread th[2];
    for (int t = 0; t < 2; ++t) {
        got[t].assign(n * n, kNaN);
        // BLIS's first configuration and sgemm in turn, BLIS first, so that
        // both threads race into BLIS's first call on every CPU
        th[t] = std::thread([&, t] {
            const std::string blis(detail::available_blis_configs()[0].name);
            for (int rep = 0; rep < 5; ++rep) {
                if (rep % 2 == 1)
                    vorka::gemm::sgemm(n, n, n, a.data(), P(n), 1, b.data(), P(n), 1, got[t].data(), P(n), 1);
                else
                    detail::sgemm_batch_blis(blis, 1, n, n, n, a.data(), 0, P(n), 1, b.data(), 0, P(n), 1,
                                             got[t].data(), 0, P(n), 1);
                ok[t] = ok[t] && !std::isnan(got[t][n * n - 1]);
            }
        });
    }
    for (auto& x : th) x.join();
    detail::sgemm_batch_using(detail::available_small_kernels()[0].fn, 1, n, n, n, a.data(), 0, P(n), 1, b.data(),
                              0, P(n), 1, want.data(), 0, P(n), 1);
    return ok[0] && ok[1] && got[0] == want && got[1] == want;
}

TEST(GemmThreads, ConcurrentCallsAgree) {
    EXPECT_TRUE(concurrent_products_agree());
    // The threadsafe style re-runs this in a new process, where BLIS has not
    // been initialised yet: both threads race into its first call.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(concurrent_products_agree() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(GemmBf16, BitExactOnEveryLayoutAndBlockEdge) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    const int layouts[] = {0, 1, 3, 4};  // row, col, strided, strided_t
    const Shape shapes[] = {
        {8, 32, 16}, {1, 1, 1}, {7, 33, 17}, {9, 15, 31}, {17, 47, 2}, {16, 64, 300},  // tiles, odd k, k blocks
        {130, 20, 40}, {8, 2100, 5}, {40, 48, 513},                                   // row and column blocks
        {13, 33, 18}, {119, 16, 64}, {241, 40, 32},  // tiles and blocks of rows of A read in place
    };
    std::mt19937 rng(7);
    for (const Shape& s : shapes)
        for (int la : layouts)
            for (int lb : layouts) {
                SCOPED_TRACE(std::string(kLayouts[la].name) + "*" + kLayouts[lb].name + " " + std::to_string(s.m) +
                             "x" + std::to_string(s.n) + "x" + std::to_string(s.k));
                check_half<bf16>(s, kLayouts[la], kLayouts[lb], kLayouts[(la + lb) % 2 == 0 ? 0 : 3], 1, false, rng);
            }
    // batches: A apart (with gaps) around a shared B, shared A (checked and
    // packed once) around column-major B items, A stacked into one taller product
    check_half<bf16>({9, 20, 33}, kLayouts[0], kLayouts[1], kLayouts[0], 3, false, rng);
    check_half<bf16>({9, 20, 33}, kLayouts[0], kLayouts[1], kLayouts[0], 3, true, rng);
    check_half<bf16>({9, 20, 33}, kLayouts[1], kLayouts[1], kLayouts[3], 3, true, rng);
    check_half<bf16>({9, 20, 33}, kLayouts[0], kLayouts[1], kLayouts[0], 3, false, rng, true);
    std::vector<float> c(3 * 9 * 20, kNaN);
    ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(3, 9, 20, 0, static_cast<const bf16*>(nullptr), 0, 1, 1, nullptr, 0, 1,
                                             1, c.data(), 180, 20, 1));
    for (float x : c) ASSERT_EQ(x, 0.0f);
}

// A fresh thread starts with empty packing buffers, which the first product
// must size for its own blocks: sizes just past one tile of rows and columns,
// with A packed (column-major) and read in place.
TEST(GemmBf16, FirstProductOfAThread) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    for (const Shape s : {Shape{9, 33, 40}, Shape{16, 64, 7}, Shape{3, 5, 600}, Shape{129, 40, 9}})
        for (int la : {0, 1})
            std::thread([&] {
                std::mt19937 rng(3);
                check_half<bf16>(s, kLayouts[la], kLayouts[1 - la], kLayouts[0], 2, false, rng);
            }).join();
}

// Values whose products could be subnormal (flushed by the instructions) make
// the product decline, wherever they sit in either operand.
TEST(GemmBf16, DeclinesValuesThatCouldMakeSubnormals) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    const struct {
        uint16_t bits;
        bool ok;
    } probes[] = {
        {0x0000, true},  {0x8000, true},                     // zeros
        {0x2380, true},  {0xA380, true},  {0x237F, false},   // 2^-56 is the smallest, below is out
        {0x0001, false}, {0x807F, false},                    // subnormals
        {0x5DFF, true},  {0x5E00, false}, {0xDE00, false},   // below 2^61 is the largest
        {0x7F80, true},  {0xFF80, true},  {0x7FC0, true},    // infinities, NaN
        {0x3F80, true},
    };
    for (size_t len : {size_t{1}, size_t{31}, size_t{33}, size_t{1500}})
        for (size_t pos : {size_t{0}, len / 2, len - 1})
            for (const auto& p : probes)
                // [2 x len] @ [len x 3], the probe in row 1 of A or column 2 of B;
                // each operand row- or column-major (they are read differently)
                for (int where = 0; where < 4; ++where) {
                    const bool in_b = where & 1, col = where & 2;
                    std::vector<bf16> a(2 * len, bf16{0x3F80}), b(len * 3, bf16{0x3F80});
                    const ptrdiff_t rsa = col ? 1 : P(len), csa = col ? 2 : 1;
                    const ptrdiff_t rsb = col ? 1 : 3, csb = col ? P(len) : 1;
                    (in_b ? b[pos * rsb + 2 * csb] : a[rsa + P(pos) * csa]) = bf16{p.bits};
                    std::vector<float> c(6);
                    EXPECT_EQ(vorka::gemm::bf16_gemm_batch(1, 2, 3, len, a.data(), 0, rsa, csa, b.data(), 0, rsb, csb,
                                                           c.data(), 0, 3, 1),
                              p.ok)
                        << std::hex << p.bits << std::dec << " at " << pos << " of " << len
                        << (in_b ? " in B" : " in A")
                        << (col ? ", column-major" : ", row-major");
                }
}

// Each float16 kernel the CPU can run (forced through the instruction-set
// seam). Sizes one below/at/above each block of the AVX2 (MR 6, NR 16, MC 192)
// and AVX-512 (MR 8, NR 32, MC 256) kernels, KC 256 and NC (half of L2: up to
// 1024 columns); every layout; batches sharing A or B (zero batch stride).
TEST(GemmF16, EveryKernelMatchesTheFloat32Chain) {
    namespace simd = vorka::simd;
    const simd::Isa saved = simd::active_isa();
    const Layout* lays[] = {&kLayouts[0], &kLayouts[1], &kLayouts[3], &kLayouts[4], &kLayouts[5]};
    const Shape shapes[] = {{5, 15, 255}, {7, 17, 257}, {6, 16, 256}, {191, 31, 9}, {193, 33, 300},
                            {257, 47, 40}, {9, 1023, 70}, {3, 1025, 513}, {1, 40, 20}};
    for (const simd::Isa isa : {simd::Isa::Avx2, simd::Isa::Avx512}) {
        simd::force_isa(isa);
        if (simd::active_isa() != isa) continue;  // the CPU lacks it
        int seed = 0;
        for (const Shape& s : shapes)
            for (const Layout* la : lays)
                for (const Layout* lb : lays) {
                    if (s.m * s.n > 4096 && (la != lays[0] || lb != lays[1]) && (la != lays[2] || lb != lays[3]))
                        continue;
                    std::mt19937 rng(++seed);
                    SCOPED_TRACE(std::to_string(static_cast<int>(isa)) + " " + la->name + "*" + lb->name + " " +
                                 std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k));
                    check_half<f16>(s, *la, *lb, *lays[seed % 3], 3, seed % 2 == 0, rng);
                }
    }
    simd::force_isa(saved);
}

}  // namespace
