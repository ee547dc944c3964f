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

// A strided view into a NaN-filled buffer, so reads of unused slots poison
// the result and writes outside the view are detectable.
struct Mat {
    size_t rows = 0, cols = 0;
    ptrdiff_t rs = 0, cs = 0;
    std::vector<float> buf;

    Mat(size_t r, size_t c, const Layout& l) : rows(r), cols(c), rs(l.rs(r, c)), cs(l.cs(r, c)) {
        size_t span = 1;
        if (r > 0 && c > 0)
            span += (r > 1 ? (r - 1) * static_cast<size_t>(rs) : 0) + (c > 1 ? (c - 1) * static_cast<size_t>(cs) : 0);
        buf.assign(span + 5, kNaN);
    }
    size_t off(size_t i, size_t j) const {
        return (i > 0 ? i * static_cast<size_t>(rs) : 0) + (j > 0 ? j * static_cast<size_t>(cs) : 0);
    }
    float& at(size_t i, size_t j) { return buf[off(i, j)]; }
    float at(size_t i, size_t j) const { return buf[off(i, j)]; }
    float* data() { return buf.data(); }
    const float* data() const { return buf.data(); }

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
    for (const auto& c : detail::available_blis_configs()) p.push_back({std::string(c.name), std::string(c.name), nullptr});
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

void check_product(const Shape& s, const Layout& la, const Layout& lb, const Layout& lc, bool integers,
                   uint32_t seed) {
    std::mt19937 rng(seed);
    Mat a(s.m, s.k, la), b(s.k, s.n, lb);
    a.fill(rng, integers);
    b.fill(rng, integers);
    const Ref ref = reference(a, b);
    for (const Path& path : all_paths()) {
        Mat c(s.m, s.n, lc);
        run_path(path, 1, s.m, s.n, s.k, a.data(), 0, a.rs, a.cs, b.data(), 0, b.rs, b.cs, c.data(), 0, c.rs, c.cs);
        expect_matches(c, ref, s.k, integers,
                       path.name + " " + la.name + "*" + lb.name + "->" + lc.name + " " + std::to_string(s.m) +
                           "x" + std::to_string(s.n) + "x" + std::to_string(s.k));
    }
}

// ---- every layout combination on shapes that hit the edge cases ----

const Shape kLayoutShapes[] = {
    {1, 1, 1}, {1, 1, 37}, {1, 19, 1}, {23, 1, 1}, {1, 40, 33},  {35, 1, 40}, {5, 7, 1},
    {3, 3, 3}, {8, 8, 8},  {9, 17, 5}, {7, 33, 19}, {13, 9, 70}, {33, 40, 17}, {7, 70, 9},
};

constexpr int kNumLayouts = sizeof(kLayouts) / sizeof(kLayouts[0]);

class GemmLayouts : public ::testing::TestWithParam<Shape> {};

TEST_P(GemmLayouts, MatchesReference) {
    const Shape s = GetParam();
    for (int ia = 0; ia < kNumLayouts; ++ia)
        for (int ib = 0; ib < kNumLayouts; ++ib)
            for (int ic = 0; ic < kNumLayouts; ++ic) {
                if (!kLayouts[ic].output_ok) continue;
                const uint32_t seed = 1u + ia * 64 + ib * 8 + ic;
                check_product(s, kLayouts[ia], kLayouts[ib], kLayouts[ic], /*integers=*/true, seed);
                check_product(s, kLayouts[ia], kLayouts[ib], kLayouts[ic], /*integers=*/false, seed + 1000);
            }
}

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) {
    const Shape s = info.param;
    return std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k);
}

INSTANTIATE_TEST_SUITE_P(Gemm, GemmLayouts, ::testing::ValuesIn(kLayoutShapes), shape_name);

// ---- sizes around our blocking, BLIS's blocking and the dispatch threshold ----

class GemmSizes : public ::testing::TestWithParam<Shape> {};

TEST_P(GemmSizes, RowAndColumnMajor) {
    const Shape s = GetParam();
    const Layout &row = kLayouts[0], &col = kLayouts[1], &strided = kLayouts[3];
    check_product(s, row, row, row, true, 11);
    check_product(s, row, col, row, true, 12);
    check_product(s, col, row, col, false, 13);
    check_product(s, strided, col, strided, false, 14);
}

INSTANTIATE_TEST_SUITE_P(
    Gemm, GemmSizes,
    ::testing::Values(
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
        Shape{263, 1061, 300}, Shape{31, 2049, 40}, Shape{255, 1023, 257}),
    shape_name);

bool goes_large(size_t m, size_t n, size_t k) {
    detail::Problem p{1, m, n, k, nullptr, 0, P(k), 1, nullptr, 0, P(n), 1, nullptr, 0, P(n), 1};
    return detail::prepare_for_kernels(p) && detail::beyond_small(p);
}

// The size tests above must reach the packed kernel (or BLIS) through sgemm,
// not only when forced.
TEST(Gemm, ThresholdSplitsSmallFromLarge) {
    EXPECT_FALSE(goes_large(1, 1, 1));
    EXPECT_FALSE(goes_large(8, 8, 8));
    EXPECT_FALSE(goes_large(127, 128, 128));
    EXPECT_FALSE(goes_large(128, 128, 128));
    EXPECT_FALSE(goes_large(520, 40, 260));
    EXPECT_TRUE(goes_large(1100, 40, 520));
    EXPECT_TRUE(goes_large(32, 32, 2100));
    EXPECT_TRUE(goes_large(1024, 1024, 1024));
    EXPECT_TRUE(goes_large(size_t{1} << 40, size_t{1} << 40, 2));  // m * n * k must not wrap
}

// ---- empty products ----

TEST(Gemm, EmptyKWritesZerosOverGarbage) {
    for (const Path& path : all_paths())
        for (const Layout& l : kLayouts) {
            if (!l.output_ok) continue;
            Mat c(5, 7, l);
            std::fill(c.buf.begin(), c.buf.end(), kNaN);
            run_path(path, 1, 5, 7, 0, nullptr, 0, 1, 1, nullptr, 0, 1, 1, c.data(), 0, c.rs, c.cs);
            expect_matches(c, Ref{std::vector<double>(35, 0.0), std::vector<double>(35, 0.0)}, 0, true,
                           path.name + " k=0 " + l.name);
        }
}

TEST(Gemm, EmptyMOrNTouchesNothing) {
    float a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4};
    for (const Path& path : all_paths()) {
        float c[8];
        std::fill(std::begin(c), std::end(c), 42.0f);
        run_path(path, 1, 0, 2, 2, a, 0, 2, 1, b, 0, 2, 1, c, 0, 2, 1);
        run_path(path, 1, 2, 0, 2, a, 0, 2, 1, b, 0, 2, 1, c, 0, 2, 1);
        run_path(path, 3, 0, 0, 0, nullptr, 0, 0, 0, nullptr, 0, 0, 0, c, 0, 0, 0);
        run_path(path, 0, 2, 2, 2, a, 0, 2, 1, b, 0, 2, 1, c, 4, 2, 1);
        for (float x : c) EXPECT_EQ(x, 42.0f) << path.name;
    }
}

TEST(Gemm, GarbageInOutputNeverLeaks) {
    // infinities and NaNs in C would survive any read of C (0 * inf = NaN)
    for (const Path& path : all_paths())
        for (float garbage : {kNaN, std::numeric_limits<float>::infinity(), -1e30f}) {
            std::vector<float> a(96 * 96, 1.0f), b(96 * 96, 0.5f), c(96 * 96, garbage);
            run_path(path, 1, 96, 96, 96, a.data(), 0, 96, 1, b.data(), 0, 96, 1, c.data(), 0, 96, 1);
            for (float x : c) ASSERT_EQ(x, 48.0f) << path.name;
        }
}

// ---- batches ----

struct BatchCase {
    Shape s;
    bool share_a, share_b;
};
void PrintTo(const BatchCase& c, std::ostream* os) {
    PrintTo(c.s, os);
    *os << (c.share_a ? " shared A" : "") << (c.share_b ? " shared B" : "");
}

class GemmBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(GemmBatch, EachItemMatches) {
    const auto [s, share_a, share_b] = GetParam();
    const size_t batch = 5;
    std::mt19937 rng(99);
    const Layout &row = kLayouts[0], &col = kLayouts[1], &strided = kLayouts[3];
    // items laid out back to back, with a gap, so batch strides exceed the item size
    auto stack = [&](size_t r, size_t c, const Layout& l, bool shared, std::vector<Mat>& items) {
        for (size_t t = 0; t < (shared ? 1 : batch); ++t) items.emplace_back(r, c, l);
        for (auto& it : items) it.fill(rng, true);
    };
    std::vector<Mat> as, bs;
    stack(s.m, s.k, row, share_a, as);
    stack(s.k, s.n, col, share_b, bs);
    const size_t asz = as[0].buf.size() + 3, bsz = bs[0].buf.size() + 1;
    std::vector<float> abuf(asz * as.size(), kNaN), bbuf(bsz * bs.size(), kNaN);
    for (size_t t = 0; t < as.size(); ++t) std::copy(as[t].buf.begin(), as[t].buf.end(), abuf.begin() + t * asz);
    for (size_t t = 0; t < bs.size(); ++t) std::copy(bs[t].buf.begin(), bs[t].buf.end(), bbuf.begin() + t * bsz);

    for (const Path& path : all_paths()) {
        Mat c0(s.m, s.n, strided);
        const size_t csz = c0.buf.size() + 2;
        std::vector<float> cbuf(csz * batch, kNaN);
        run_path(path, batch, s.m, s.n, s.k, abuf.data(), share_a ? 0 : P(asz), as[0].rs, as[0].cs, bbuf.data(),
                 share_b ? 0 : P(bsz), bs[0].rs, bs[0].cs, cbuf.data(), P(csz), c0.rs, c0.cs);
        for (size_t t = 0; t < batch; ++t) {
            Mat c(s.m, s.n, strided);
            std::copy(cbuf.begin() + t * csz, cbuf.begin() + t * csz + c.buf.size(), c.buf.begin());
            for (size_t g = c.buf.size(); g < csz; ++g) EXPECT_TRUE(std::isnan(cbuf[t * csz + g])) << path.name;
            expect_matches(c, reference(as[share_a ? 0 : t], bs[share_b ? 0 : t]), s.k, true,
                           path.name + " item " + std::to_string(t));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Gemm, GemmBatch,
                         ::testing::Values(BatchCase{{8, 8, 8}, false, false}, BatchCase{{8, 8, 8}, true, false},
                                           BatchCase{{8, 8, 8}, false, true}, BatchCase{{3, 20, 40}, true, true},
                                           BatchCase{{1, 1, 9}, false, true}, BatchCase{{70, 65, 66}, false, true}));

// Items stacked back to back around a shared operand: sgemm treats them as
// one taller (shared B) or wider (shared A) product.
TEST(GemmBatch, StackedItemsAroundASharedOperand) {
    const size_t batch = 5;
    for (const Shape s : {Shape{8, 8, 8}, Shape{1, 7, 9}, Shape{7, 1, 9}, Shape{33, 40, 17}, Shape{32, 32, 300}}) {
        for (const bool share_b : {true, false}) {
            std::mt19937 rng(7);
            const Layout& lay = kLayouts[share_b ? 0 : 1];  // row-major stacks rows, column-major columns
            Mat shared = share_b ? Mat(s.k, s.n, kLayouts[3]) : Mat(s.m, s.k, kLayouts[3]);
            shared.fill(rng, true);
            std::vector<Mat> items;
            std::vector<float> stack;
            const size_t isz = share_b ? s.m * s.k : s.k * s.n;
            for (size_t t = 0; t < batch; ++t) {
                items.emplace_back(share_b ? s.m : s.k, share_b ? s.k : s.n, lay);
                items.back().fill(rng, true);
                stack.insert(stack.end(), items.back().buf.begin(), items.back().buf.begin() + P(isz));
            }
            const Mat& a0 = share_b ? items[0] : shared;
            const Mat& b0 = share_b ? shared : items[0];
            Mat c0(s.m, s.n, lay);
            for (const Path& path : all_paths()) {
                std::vector<float> c(batch * s.m * s.n, kNaN);
                const float* a = share_b ? stack.data() : shared.data();
                const float* b = share_b ? shared.data() : stack.data();
                run_path(path, batch, s.m, s.n, s.k, a, share_b ? P(isz) : 0, a0.rs, a0.cs, b, share_b ? 0 : P(isz),
                         b0.rs, b0.cs, c.data(), P(s.m * s.n), c0.rs, c0.cs);
                for (size_t t = 0; t < batch; ++t) {
                    Mat ct(s.m, s.n, lay);
                    std::copy(c.begin() + P(t * s.m * s.n), c.begin() + P((t + 1) * s.m * s.n), ct.buf.begin());
                    expect_matches(ct, reference(share_b ? items[t] : shared, share_b ? shared : items[t]), s.k, true,
                                   path.name + (share_b ? " shared B" : " shared A") + " item " + std::to_string(t));
                }
            }
        }
    }
}

// float16 operands widened while packed: exactly the float32 product of the
// widened operands (integers: every term exact), on every layout and on the
// packed kernel's block edges, batched with and without a shared operand.
TEST(GemmF16, WidenedWhilePackedMatchesFloat32) {
    if (!detail::packed_kernel()) GTEST_SKIP() << "no AVX-512";
    const Layout* lays[] = {&kLayouts[0], &kLayouts[1], &kLayouts[3], &kLayouts[4]};
    auto halves = [](const Mat& m) {
        std::vector<vorka::f16> h;
        for (float x : m.buf) h.push_back(vorka::f32_to_f16(x));
        return h;
    };
    const Shape shapes[] = {{1, 1, 1}, {9, 33, 7}, {64, 64, 64}, {257, 31, 255}, {7, 1025, 257}, {263, 1061, 300},
                            {17, 40, 256}};
    int seed = 0;
    for (const Shape& s : shapes)
        for (const Layout* la : lays)
            for (const Layout* lb : lays) {
                if (s.m * s.n * s.k > 1u << 22 && (la != lays[0] || lb != lays[1])) continue;
                std::mt19937 rng(++seed);
                Mat a(s.m, s.k, *la), b(s.k, s.n, *lb);
                a.fill(rng, true);
                b.fill(rng, true);
                const auto ha = halves(a), hb = halves(b);
                const size_t batch = 2;  // the same item twice, B shared
                Mat c0(s.m, s.n, kLayouts[0]);
                std::vector<float> c(2 * c0.buf.size(), kNaN);
                ASSERT_TRUE(vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, ha.data(), 0, a.rs, a.cs, hb.data(), 0,
                                                        b.rs, b.cs, c.data(), P(c0.buf.size()), c0.rs, c0.cs));
                const Ref ref = reference(a, b);
                for (size_t t = 0; t < batch; ++t) {
                    Mat ct(s.m, s.n, kLayouts[0]);
                    std::copy(c.begin() + P(t * ct.buf.size()), c.begin() + P((t + 1) * ct.buf.size()), ct.buf.begin());
                    expect_matches(ct, ref, s.k, true,
                                   std::string("f16 ") + la->name + "*" + lb->name + " " + std::to_string(s.m) + "x" +
                                       std::to_string(s.n) + "x" + std::to_string(s.k));
                }
                // rounded to float16 as stored (one block of k only): the float32
                // result rounded once, into row- or column-major C; values that
                // need rounding
                std::normal_distribution<float> nd;
                std::vector<vorka::f16> ga(ha.size()), gb(hb.size());
                for (auto& x : ga) x = vorka::f32_to_f16(nd(rng));
                for (auto& x : gb) x = vorka::f32_to_f16(nd(rng));
                std::vector<float> cw(c.size(), kNaN);
                ASSERT_TRUE(vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, ga.data(), 0, a.rs, a.cs, gb.data(), 0,
                                                        b.rs, b.cs, cw.data(), P(c0.buf.size()), c0.rs, c0.cs));
                const Layout& lc = *lays[seed % 2];
                Mat c1(s.m, s.n, lc);
                std::vector<vorka::f16> h(2 * c1.buf.size(), vorka::f16{0x7E01});
                const bool narrowed =
                    vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, ga.data(), 0, a.rs, a.cs, gb.data(), 0, b.rs,
                                                b.cs, h.data(), P(c1.buf.size()), c1.rs, c1.cs);
                ASSERT_EQ(narrowed, s.k <= detail::kPackedKC);
                for (size_t t = 0; narrowed && t < batch; ++t)
                    for (size_t i = 0; i < s.m; ++i)
                        for (size_t j = 0; j < s.n; ++j)
                            ASSERT_EQ(h[t * c1.buf.size() + P(i) * c1.rs + P(j) * c1.cs].bits,
                                      vorka::f32_to_f16(cw[t * c0.buf.size() + P(i) * c0.rs + P(j) * c0.cs]).bits)
                                << lc.name << " " << s.m << "x" << s.n << "x" << s.k << " at " << t << "," << i << ","
                                << j;
            }
}

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
        th[t] = std::thread([&, t] {
            // BLIS's first configuration and sgemm in turn, BLIS first, so that both
            // threads race into BLIS's first call on every CPU
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

TEST(GemmThreads, ConcurrentFirstCallsInFreshProcess) {
    // The threadsafe style re-runs this test in a new process, where BLIS has
    // not been initialised yet: both threads race into its first call.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(concurrent_products_agree() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(GemmThreads, ConcurrentCallsAgree) { EXPECT_TRUE(concurrent_products_agree()); }


// ---- bfloat16 products ----

namespace bf16_tests {

using vorka::bf16;

float widen(bf16 x) {
    const uint32_t u = uint32_t{x.bits} << 16;
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

bf16 from_bits(uint16_t b) { return bf16{b}; }

// Random values spanning many binades of the exact range, with exact zeros.
bf16 random_value(std::mt19937& rng) {
    std::uniform_int_distribution<int> exp(127 - 30, 127 + 30), mant(0, 127), coin(0, 15);
    if (coin(rng) == 0) return from_bits(coin(rng) & 1 ? 0x8000 : 0);
    return from_bits(static_cast<uint16_t>((coin(rng) & 1) << 15 | exp(rng) << 7 | mant(rng)));
}

// A strided bf16 matrix inside a buffer of NaNs.
struct BMat {
    size_t rows, cols;
    ptrdiff_t rs, cs;
    std::vector<bf16> buf;
    BMat(size_t r, size_t c, const Layout& l) : rows(r), cols(c), rs(l.rs(r, c)), cs(l.cs(r, c)) {
        Mat shape(r, c, l);
        buf.assign(shape.buf.size(), from_bits(0x7FC1));
    }
    size_t off(size_t i, size_t j) const {
        return (i > 0 ? i * static_cast<size_t>(rs) : 0) + (j > 0 ? j * static_cast<size_t>(cs) : 0);
    }
    bf16& at(size_t i, size_t j) { return buf[off(i, j)]; }
    void fill(std::mt19937& rng) {
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < cols; ++j) at(i, j) = random_value(rng);
    }
};

// The documented order: k = 1, 0, 3, 2, ... each product exact, each sum
// rounded once in float32.
float chain(BMat& a, BMat& b, size_t i, size_t j) {
    float acc = 0.0f;
    for (size_t q = 0; q < a.cols; q += 2) {
        if (q + 1 < a.cols) acc = acc + widen(a.at(i, q + 1)) * widen(b.at(q + 1, j));
        acc = acc + widen(a.at(i, q)) * widen(b.at(q, j));
    }
    return acc;
}

struct Bf16Case {
    Shape s;
    int la, lb, lc;  // indices into kLayouts
};
void PrintTo(const Bf16Case& c, std::ostream* os) {
    PrintTo(c.s, os);
    *os << " " << kLayouts[c.la].name << "*" << kLayouts[c.lb].name << "->" << kLayouts[c.lc].name;
}

class GemmBf16 : public ::testing::TestWithParam<Bf16Case> {};

TEST_P(GemmBf16, BitExactAgainstFloat32Chain) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    const auto [s, la, lb, lc] = GetParam();
    std::mt19937 rng(7 + static_cast<uint32_t>(s.m * 31 + s.n * 7 + s.k));
    BMat a(s.m, s.k, kLayouts[la]), b(s.k, s.n, kLayouts[lb]);
    a.fill(rng);
    b.fill(rng);
    Mat c(s.m, s.n, kLayouts[lc]);
    BMat h(s.m, s.n, kLayouts[lc]);
    ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(1, s.m, s.n, s.k, a.buf.data(), 0, a.rs, a.cs, b.buf.data(), 0, b.rs,
                                             b.cs, c.data(), 0, c.rs, c.cs));
    ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(1, s.m, s.n, s.k, a.buf.data(), 0, a.rs, a.cs, b.buf.data(), 0, b.rs,
                                             b.cs, h.buf.data(), 0, h.rs, h.cs));
    std::vector<bool> inside(c.buf.size(), false);
    size_t bad = 0;
    for (size_t i = 0; i < s.m; ++i)
        for (size_t j = 0; j < s.n; ++j) {
            inside[c.off(i, j)] = true;
            const float want = chain(a, b, i, j), got = c.at(i, j);
            if (std::memcmp(&want, &got, sizeof got) != 0 && bad++ < 5)
                ADD_FAILURE() << "C[" << i << "][" << j << "] = " << got << ", want " << want;
            // rounded once, exactly as the library narrows
            const uint16_t want16 = vorka::f32_to_bf16(want).bits, got16 = h.at(i, j).bits;
            if (want16 != got16 && bad++ < 5)
                ADD_FAILURE() << "bf16 C[" << i << "][" << j << "] = " << std::hex << got16 << ", want " << want16
                              << std::dec;
        }
    for (size_t t = 0; t < c.buf.size(); ++t) {
        if (!inside[t] && !std::isnan(c.buf[t]) && bad++ < 5) ADD_FAILURE() << "wrote outside C at slot " << t;
        if (!inside[t] && h.buf[t].bits != 0x7FC1 && bad++ < 5) ADD_FAILURE() << "wrote outside bf16 C at " << t;
    }
}

std::vector<Bf16Case> bf16_cases() {
    // row, col, strided, strided_t
    const int layouts[] = {0, 1, 3, 4};
    const Shape shapes[] = {
        {8, 32, 16}, {1, 1, 1}, {7, 33, 17}, {9, 15, 31}, {17, 47, 2}, {16, 64, 300},   // tiles, odd k, k blocks
        {130, 20, 40}, {8, 2100, 5}, {40, 48, 513},                                    // row and column blocks
        {13, 33, 18}, {119, 16, 64}, {241, 40, 32},  // tiles and blocks of rows of A read in place
    };
    std::vector<Bf16Case> v;
    for (const Shape& s : shapes)
        for (int la : layouts)
            for (int lb : layouts) v.push_back({s, la, lb, (la + lb) % 2 == 0 ? 0 : 3});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Gemm, GemmBf16, ::testing::ValuesIn(bf16_cases()));

TEST(GemmBf16Batch, SharedOperandsAndZeroK) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    const size_t m = 9, n = 20, k = 33, batch = 3;
    std::mt19937 rng(5);
    std::vector<BMat> as, bs;
    for (size_t t = 0; t < batch; ++t) {
        as.emplace_back(m, k, kLayouts[0]);
        as.back().fill(rng);
    }
    bs.emplace_back(k, n, kLayouts[1]);
    bs.back().fill(rng);
    // with gaps between the items of A, and stacked back to back (one taller product)
    for (const size_t asz : {as[0].buf.size(), m * k}) {
        std::vector<bf16> abuf;
        for (auto& x : as) abuf.insert(abuf.end(), x.buf.begin(), x.buf.begin() + P(asz));
        std::vector<float> c(batch * m * n, kNaN);
        ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(batch, m, n, k, abuf.data(), P(asz), as[0].rs, as[0].cs,
                                                 bs[0].buf.data(), 0, bs[0].rs, bs[0].cs, c.data(), P(m * n), P(n), 1));
        for (size_t t = 0; t < batch; ++t)
            for (size_t i = 0; i < m; ++i)
                for (size_t j = 0; j < n; ++j) ASSERT_EQ(c[(t * m + i) * n + j], chain(as[t], bs[0], i, j));
    }
    // A shared by every item (checked and packed once), B items column-major
    for (const Layout* la : {&kLayouts[0], &kLayouts[1]}) {
        BMat a(m, k, *la);
        a.fill(rng);
        std::vector<BMat> bs2;
        std::vector<bf16> bbuf;
        for (size_t t = 0; t < batch; ++t) {
            bs2.emplace_back(k, n, kLayouts[1]);
            bs2.back().fill(rng);
            bbuf.insert(bbuf.end(), bs2.back().buf.begin(), bs2.back().buf.end());
        }
        std::vector<float> c(batch * m * n, kNaN);
        ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(batch, m, n, k, a.buf.data(), 0, a.rs, a.cs, bbuf.data(),
                                                 P(bs2[0].buf.size()), bs2[0].rs, bs2[0].cs, c.data(), P(m * n), P(n),
                                                 1));
        for (size_t t = 0; t < batch; ++t)
            for (size_t i = 0; i < m; ++i)
                for (size_t j = 0; j < n; ++j) ASSERT_EQ(c[(t * m + i) * n + j], chain(a, bs2[t], i, j));
    }
    std::vector<float> c(batch * m * n, kNaN);
    ASSERT_TRUE(vorka::gemm::bf16_gemm_batch(batch, m, n, 0, static_cast<const bf16*>(nullptr), 0, 1, 1, nullptr,
                                             0, 1, 1, c.data(), P(m * n), P(n), 1));
    for (float x : c) ASSERT_EQ(x, 0.0f);
}

// Values whose products could be subnormal (flushed by the instructions) make
// the product decline, wherever they sit in either operand.
TEST(GemmBf16Range, DeclinesValuesThatCouldMakeSubnormals) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    struct Probe {
        uint16_t bits;
        bool ok;
    };
    const Probe probes[] = {
        {0x0000, true},  {0x8000, true},                     // zeros
        {0x2380, true},  {0xA380, true},  {0x237F, false},   // 2^-56 is the smallest, below is out
        {0x0001, false}, {0x807F, false},                    // subnormals
        {0x5DFF, true},  {0x5E00, false}, {0xDE00, false},   // below 2^61 is the largest
        {0x7F80, true},  {0xFF80, true},  {0x7FC0, true},    // infinities, NaN
        {0x3F80, true},
    };
    for (size_t len : {size_t{1}, size_t{31}, size_t{33}, size_t{1500}}) {
        for (size_t pos : {size_t{0}, len / 2, len - 1}) {
            for (const Probe& p : probes) {
                // [2 x len] @ [len x 3], the probe in row 1 of A or column 2 of B;
                // each operand row- or column-major (they are read differently)
                for (int where = 0; where < 4; ++where) {
                    const bool in_b = where & 1, col = where & 2;
                    std::vector<bf16> a(2 * len, from_bits(0x3F80)), b(len * 3, from_bits(0x3F80));
                    const ptrdiff_t rsa = col ? 1 : P(len), csa = col ? 2 : 1, rsb = col ? 1 : 3, csb = col ? P(len) : 1;
                    (in_b ? b[pos * rsb + 2 * csb] : a[rsa + P(pos) * csa]) = from_bits(p.bits);
                    std::vector<float> c(6);
                    EXPECT_EQ(vorka::gemm::bf16_gemm_batch(1, 2, 3, len, a.data(), 0, rsa, csa, b.data(), 0, rsb, csb,
                                                           c.data(), 0, 3, 1),
                              p.ok)
                        << std::hex << p.bits << std::dec << " at " << pos << " of " << len << (in_b ? " in B" : " in A")
                        << (col ? ", column-major" : ", row-major");
                }
            }
        }
    }
}

}  // namespace bf16_tests

}  // namespace

// Each float16 kernel the CPU can run (forced through the instruction-set
// seam) against a float32 chain in k order: products of float16 values are
// exact, so every kernel must give these bits. Sizes one below/at/above each
// block of the AVX2 (MR 6, NR 16, MC 192) and AVX-512 (MR 8, NR 32, MC 256)
// kernels, KC 256 and NC (half of L2: up to 1024 columns); every layout;
// batches sharing A or B (zero batch stride).
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
                    const size_t batch = 3;
                    const bool share_a = ++seed % 2 == 0;
                    std::mt19937 rng(seed);
                    std::normal_distribution<float> nd;
                    std::vector<Mat> as, bs;
                    std::vector<vorka::f16> ha, hb;
                    for (size_t t = 0; t < batch; ++t) {
                        as.emplace_back(s.m, s.k, *la);
                        bs.emplace_back(s.k, s.n, *lb);
                        for (Mat* x : {&as.back(), &bs.back()}) {
                            for (size_t i = 0; i < x->rows; ++i)
                                for (size_t j = 0; j < x->cols; ++j)
                                    x->at(i, j) = vorka::f16_to_f32(vorka::f32_to_f16(nd(rng)));
                        }
                        for (float x : as[share_a ? 0 : t].buf) ha.push_back(vorka::f32_to_f16(x));
                        for (float x : bs[share_a ? t : 0].buf) hb.push_back(vorka::f32_to_f16(x));
                    }
                    const ptrdiff_t bsa = share_a ? 0 : P(as[0].buf.size()), bsb = share_a ? P(bs[0].buf.size()) : 0;
                    const Layout& lc = *lays[seed % 3];
                    const Mat c0(s.m, s.n, lc);
                    const size_t cs = c0.buf.size();
                    std::vector<float> c(batch * cs, kNaN);
                    std::vector<vorka::f16> h(batch * cs, vorka::f16{0x7E01});
                    ASSERT_TRUE(vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, ha.data(), bsa, as[0].rs, as[0].cs,
                                                            hb.data(), bsb, bs[0].rs, bs[0].cs, c.data(), P(cs), c0.rs,
                                                            c0.cs));
                    const bool narrowed = vorka::gemm::f16_gemm_batch(batch, s.m, s.n, s.k, ha.data(), bsa, as[0].rs,
                                                                      as[0].cs, hb.data(), bsb, bs[0].rs, bs[0].cs,
                                                                      h.data(), P(cs), c0.rs, c0.cs);
                    ASSERT_EQ(narrowed, s.k <= detail::kPackedKC);
                    std::vector<bool> inside(cs);
                    for (size_t i = 0; i < s.m; ++i)
                        for (size_t j = 0; j < s.n; ++j) inside[c0.off(i, j)] = true;
                    for (size_t t = 0; t < batch; ++t) {
                        const Mat &a = as[share_a ? 0 : t], &b = bs[share_a ? t : 0];
                        for (size_t i = 0; i < s.m; ++i)
                            for (size_t j = 0; j < s.n; ++j) {
                                float want = 0.0f;
                                for (size_t q = 0; q < s.k; ++q) want += a.at(i, q) * b.at(q, j);
                                const size_t at = t * cs + c0.off(i, j);
                                ASSERT_EQ(c[at], want) << static_cast<int>(isa) << " " << la->name << "*" << lb->name
                                                       << "->" << lc.name << " " << s.m << "x" << s.n << "x" << s.k
                                                       << " item " << t << " at " << i << "," << j;
                                if (narrowed) {
                                    ASSERT_EQ(h[at].bits, vorka::f32_to_f16(want).bits) << i << "," << j;
                                }
                            }
                        for (size_t g = 0; g < cs; ++g)
                            ASSERT_TRUE(inside[g] || (std::isnan(c[t * cs + g]) && h[t * cs + g].bits == 0x7E01))
                                << "wrote outside C at " << g;
                    }
                }
    }
    vorka::simd::force_isa(saved);
}
