#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <thread>

#include "common.hpp"
#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace {

namespace detail = vorka::gemm::detail;
using vorka::bf16;
using vorka::f16;
using vorka::test::bits_of;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
ptrdiff_t P(size_t v) { return static_cast<ptrdiff_t>(v); }

// How a rows x cols matrix sits in memory: row stride rc * cols + r0, column
// stride cr * rows + c0 (negated for reversed rows / columns: flip bit 1 / 2),
// and on an extent-1 axis `unit` (if >= 0), a stride that must never be followed.
struct Layout {
    const char* name;
    ptrdiff_t rc, r0, cr, c0, unit_r = -1, unit_c = -1;
    bool output_ok = true;  // false when elements overlap (read-only views)
    int flip = 0;
    ptrdiff_t sign(int bit) const { return flip & bit ? -1 : 1; }
    ptrdiff_t rs(size_t r, size_t c) const { return r == 1 && unit_r >= 0 ? unit_r : sign(1) * (rc * P(c) + r0); }
    ptrdiff_t cs(size_t r, size_t c) const { return c == 1 && unit_c >= 0 ? unit_c : sign(2) * (cr * P(r) + c0); }
};

const Layout kLayouts[] = {
    {"row", 1, 0, 0, 1}, {"col", 0, 1, 1, 0}, {"rowpad", 1, 3, 0, 1},
    {"strided", 2, 1, 0, 2}, {"strided_t", 0, 3, 3, 1},  // both strides > 1, as after swapping axes of a 3-d array
    {"unit0", 1, 0, 0, 1, 0, 0}, {"unit_odd", 0, 1, 1, 0, 1000003, 77777},
    {"hankel", 0, 1, 0, 1, -1, -1, false},  // overlapping rows: element (i, j) at i + j
    {"row_rev", 1, 0, 0, 1, -1, -1, true, 1}, {"col_rev2", 0, 1, 1, 0, -1, -1, true, 3},  // negative strides
};

template <class T>
constexpr bool kF16 = std::is_same_v<T, f16>;
template <class T>
T nan_of() {
    if constexpr (std::is_same_v<T, float>) return kNaN;
    else return T{kF16<T> ? uint16_t{0x7E01} : uint16_t{0x7FC1}};
}

// A strided view into a buffer of NaNs, so reads of unused slots poison the
// result and writes outside the view are detectable.
// `base`: the offset of element (0, 0), past the others when a stride is negative.
template <class T>
struct Mat {
    size_t rows, cols;
    ptrdiff_t rs, cs, base;
    std::vector<T> buf;

    Mat(size_t r, size_t c, const Layout& l)
        : rows(r), cols(c), rs(l.rs(r, c)), cs(l.cs(r, c)),
          base((r > 1 && c && rs < 0 ? -P(r - 1) * rs : 0) + (c > 1 && r && cs < 0 ? -P(c - 1) * cs : 0)),
          buf(1 + (r > 1 && c ? P(r - 1) * std::abs(rs) : 0) + (c > 1 && r ? P(c - 1) * std::abs(cs) : 0) + 5,
              nan_of<T>()) {}
    size_t off(size_t i, size_t j) const {
        return static_cast<size_t>(base + (i > 0 ? P(i) * rs : 0) + (j > 0 ? P(j) * cs : 0));
    }
    T& at(size_t i, size_t j) { return buf[off(i, j)]; }
    T at(size_t i, size_t j) const { return buf[off(i, j)]; }
};

// float32: small integers keep every product and partial sum exact, else
// uniform; float16: normal values; bfloat16: many binades of the exact range,
// with exact zeros.
template <class T>
void fill(Mat<T>& m, std::mt19937& rng, bool integers) {
    std::uniform_int_distribution<int> di(-4, 4), exp(127 - 30, 127 + 30), mant(0, 127), coin(0, 15);
    std::uniform_real_distribution<float> df(-1.0f, 1.0f);
    std::normal_distribution<float> nd;
    for (size_t i = 0; i < m.rows; ++i)
        for (size_t j = 0; j < m.cols; ++j)
            if constexpr (std::is_same_v<T, float>)
                m.at(i, j) = integers ? static_cast<float>(di(rng)) : df(rng);
            else if constexpr (kF16<T>)
                m.at(i, j) = vorka::f32_to_f16(nd(rng));
            else
                m.at(i, j) = coin(rng) == 0 ? bf16{static_cast<uint16_t>(coin(rng) & 1 ? 0x8000 : 0)}
                                            : bf16{static_cast<uint16_t>((coin(rng) & 1) << 15 | exp(rng) << 7 | mant(rng))};
}

// The items of one operand in one buffer: apart (`gap` NaNs between them),
// stacked back to back, or one item shared (batch stride 0).
template <class T>
struct Operand {
    std::vector<Mat<T>> items;
    std::vector<T> buf;
    ptrdiff_t stride;
    const Mat<T>& operator[](size_t t) const { return items[items.size() == 1 ? 0 : t]; }
    const T* ptr() const { return buf.data() + items[0].base; }
};

template <class T>
Operand<T> operand(size_t r, size_t c, const Layout& l, size_t batch, bool shared, bool stacked, size_t gap,
                   std::mt19937& rng, bool integers) {
    Operand<T> o;
    for (size_t t = 0; t < (shared ? 1 : std::max<size_t>(batch, 1)); ++t)
        fill(o.items.emplace_back(r, c, l), rng, integers);
    const size_t sz = stacked && !shared ? r * c : o.items[0].buf.size() + gap;
    o.buf.assign(sz * o.items.size() + o.items[0].buf.size(), nan_of<T>());
    for (size_t t = 0; t < o.items.size(); ++t)
        std::copy_n(o.items[t].buf.begin(), std::min(sz, o.items[t].buf.size()), o.buf.begin() + P(t * sz));
    o.stride = shared ? 0 : P(sz);
    return o;
}

struct Shape { size_t m, n, k; };
std::string str(const Shape& s) { return std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k); }

// Runs `run` into a poisoned C; each item within `tol` of `want` (16-bit
// operands: bit for bit), nothing else written, nothing at all if declined.
// Returns all of C.
template <class T, class O, class Run>
std::vector<O> expect_c(const Shape& s, const Layout& lc, size_t batch, bool stacked, bool runs, const std::vector<double>& want,
              const std::vector<double>& tol, Run run, const std::string& what) {
    const Mat<O> c0(s.m, s.n, lc);
    const size_t csz = stacked ? s.m * s.n : c0.buf.size() + 2;
    std::vector<O> c(csz * batch + c0.buf.size(), nan_of<O>());
    std::fill(c.begin() + P(csz * batch), c.end(), vorka::from_f32<O>(7.0f));
    const std::vector<O> before = c;
    const bool ran = run(c.data() + c0.base, P(csz), c0.rs, c0.cs);
    EXPECT_EQ(ran, runs) << what;
    std::vector<bool> inside(c.size(), false);
    size_t bad = 0;
    for (size_t t = 0; t < batch && ran; ++t)
        for (size_t i = 0; i < s.m; ++i)
            for (size_t j = 0; j < s.n; ++j) {
                const size_t q = t * csz + c0.off(i, j), r = (t * s.m + i) * s.n + j;
                inside[q] = true;
                bool ok;
                if constexpr (std::is_same_v<T, float>) ok = std::fabs(c[q] - want[r]) <= tol[r];
                else ok = bits_of(c[q]) == bits_of(vorka::from_f32<O>(static_cast<float>(want[r])));
                if (!ok && bad++ < 5)
                    ADD_FAILURE() << what << ": item " << t << " C[" << i << "][" << j
                                  << "] = " << vorka::to_f32(c[q]) << ", want " << want[r];
            }
    for (size_t q = 0; q < c.size(); ++q)
        if (!inside[q] && bits_of(c[q]) != bits_of(before[q]) && bad++ < 5)
            ADD_FAILURE() << what << ": wrote outside C at slot " << q;
    return c;
}

// Every way of computing a float32 product: the size-based dispatch and each kernel (small and packed)
// of the instruction set in use. `fused`: one FMA chain per element (all but the portable kernels).
struct Path { std::string name; detail::SmallKernel kernel = nullptr; /* null: sgemm itself */ bool fused = true; };

std::vector<Path> all_paths() {
    const bool fused = vorka::simd::active_isa() != vorka::simd::Isa::Generic;
    std::vector<Path> p{{"sgemm", nullptr, fused}};
    for (const auto& k : detail::available_isa_kernels()) p.push_back({std::string(k.name), k.small, k.name != "generic"});
    p.push_back({"packed", detail::isa_kernels().packed, fused});
    return p;
}

// A batched product of T on every path against the exact sum (float32: within
// a few roundings, exact on small integers) or the documented order of 16-bit
// products: each product exact, each sum rounded once in float32, k = 0, 1,
// 2, ... for float16, k = 1, 0, 3, 2, ... for bfloat16; into float32 and 16-bit C.
template <class T>
void check(const Shape& s, const Layout& la, const Layout& lb, const Layout& lc, size_t batch, bool share_a,
           bool share_b, bool stacked, std::mt19937& rng, bool integers = true) {
    const Operand<T> a = operand<T>(s.m, s.k, la, batch, share_a, stacked, 3, rng, integers);
    const Operand<T> b = operand<T>(s.k, s.n, lb, batch, share_b, stacked, 1, rng, integers);
    std::vector<double> want(batch * s.m * s.n, 0.0), tol(want.size(), 0.0);
    for (size_t t = 0; t < batch; ++t)
        for (size_t i = 0; i < s.m; ++i)
            for (size_t j = 0; j < s.n; ++j) {
                double bound = 0.0;
                float chain = 0.0f;
                double& w = want[(t * s.m + i) * s.n + j];
                for (size_t p = 0; p < s.k; ++p) {
                    if constexpr (std::is_same_v<T, float>) {
                        const double x = static_cast<double>(a[t].at(i, p)) * b[t].at(p, j);
                        w += x;
                        bound += std::fabs(x);
                    } else {
                        const size_t q = kF16<T> || (p + 1 == s.k && p % 2 == 0) ? p : p ^ 1;
                        chain = chain + vorka::to_f32(a[t].at(i, q)) * vorka::to_f32(b[t].at(q, j));
                    }
                }
                if constexpr (!std::is_same_v<T, float>) w = chain;
                if (!integers) tol[(t * s.m + i) * s.n + j] = 2.0 * (static_cast<double>(s.k) + 2) * 0x1p-24 * bound;
            }
    const std::string what = std::string(la.name) + "*" + lb.name + "->" + lc.name + " " + str(s) + " batch " +
                             std::to_string(batch) + " " + "A "[!share_a] + "B "[!share_b] + "S "[!stacked];
    if constexpr (std::is_same_v<T, float>) {
        std::vector<float> first[2];  // every kernel of every instruction set: the same bits per class
        vorka::test::on_every_isa([&] {
            for (const Path& path : all_paths()) {
                const std::vector<float> c = expect_c<T, float>(s, lc, batch, stacked, true, want, tol, [&](auto... c) {
                    const detail::Problem p{batch, s.m, s.n, s.k, {a.ptr(), a.stride, a[0].rs, a[0].cs},
                                            {b.ptr(), b.stride, b[0].rs, b[0].cs}, {c...}};
                    path.kernel ? detail::sgemm_using(path.kernel, p) : vorka::gemm::sgemm(p);
                    return true;
                }, path.name + " " + what);
                std::vector<float>& ref = first[path.fused].empty() ? first[path.fused] = c : first[path.fused];
                EXPECT_EQ(0, std::memcmp(c.data(), ref.data(), c.size() * sizeof(float)))
                    << path.name << " " << what << ": other bits than the first " << (path.fused ? "fused" : "portable");
            }
        });
    } else {
        auto run = [&](auto* c, ptrdiff_t bsc, ptrdiff_t rsc, ptrdiff_t csc) {
            vorka::gemm::Product<T> p{batch, s.m, s.n, s.k, {a.ptr(), a.stride, a[0].rs, a[0].cs},
                                      {b.ptr(), b.stride, b[0].rs, b[0].cs}, {nullptr, bsc, rsc, csc}};
            if constexpr (std::is_same_v<decltype(c), float*>) p.c.p = c;
            else p.h = c;
            if constexpr (kF16<T>) return vorka::gemm::f16_gemm(p);
            else return vorka::gemm::bf16_gemm(p);
        };
        expect_c<T, float>(s, lc, batch, stacked, true, want, tol, run, what);  // into float16: not with k = 0
        expect_c<T, T>(s, lc, batch, stacked, !kF16<T> || s.k > 0, want, tol, run, what + " into 16 bits");
    }
}

void product(const Shape& s, const Layout& la, const Layout& lb, const Layout& lc, bool integers, uint32_t seed) {
    std::mt19937 rng(seed);
    check<float>(s, la, lb, lc, 1, false, false, false, rng, integers);
    if (s.k > 0 && s.k <= vorka::gemm::blocking::kLongK) check<f16>(s, la, lb, lc, 2, false, true, false, rng);  // longer: split sums
}

// k = 0: zeros over the NaNs of C; m or n 0: nothing written.
TEST(Gemm, EveryLayoutOnEdgeShapes) {
    for (Shape s : {Shape{5, 7, 0}, Shape{0, 7, 3}, Shape{5, 0, 3}, Shape{1, 1, 1}, Shape{1, 1, 37}, Shape{1, 19, 1},
                    Shape{23, 1, 1}, Shape{1, 40, 33}, Shape{35, 1, 40}, Shape{5, 7, 1}, Shape{3, 3, 3}, Shape{8, 8, 8},
                    Shape{9, 17, 5}, Shape{7, 33, 19}, Shape{13, 9, 70}, Shape{33, 40, 17}, Shape{7, 70, 9}})
        for (const Layout& la : kLayouts)
            for (const Layout& lb : kLayouts)
                for (const Layout& lc : kLayouts) {
                    if (!lc.output_ok) continue;
                    const uint32_t seed = 1u + P(&la - kLayouts) * 64 + P(&lb - kLayouts) * 8 + P(&lc - kLayouts);
                    product(s, la, lb, lc, true, seed);
                    product(s, la, lb, lc, false, seed + 1000);
                }
}

// Four layout combinations around the blocking and the dispatch threshold.
void block_edges(const std::vector<Shape>& shapes) {
    for (Shape s : shapes) {
        const Layout &row = kLayouts[0], &col = kLayouts[1], &strided = kLayouts[3];
        product(s, row, row, row, true, 11);
        product(s, row, col, row, true, 12);
        product(s, col, row, col, false, 13);
        product(s, strided, col, strided, false, 14);
    }
}

namespace bk = vorka::gemm::blocking;

// On and around the blocks of a packed kernel (from its constants): tiles, A blocks, k blocks.
void tile_edges(std::vector<Shape>& v, const bk::Tile& t, size_t kc, size_t k_small) {
    v.insert(v.end(), {{t.mr, t.nr, kc}, {t.mr + 1, t.nr - 1, kc + 1}, {t.mr - 1, t.nr + 1, k_small},
                       {t.mc + 1, 2 * t.nr + 1, kc - 1}, {t.mc - 1, t.nr + 1, 2 * kc + 3}});
}

std::vector<Shape> packed_block_edges(size_t k_small) {
    std::vector<Shape> v;
    for (const bk::Tile& t : {bk::kPackedAvx512, bk::kPackedAvx2, bk::kPackedPortable}) tile_edges(v, t, bk::kPackedKC, k_small);
    return v;
}

TEST(Gemm, BlockEdges) {
    std::vector<Shape> shapes = packed_block_edges(9);
    using bk::kLongK, bk::kMaxNc;
    // small kernels' tiles (6/8 rows, 8 to 64 columns); tall and skinny; sums split in halves; either side of
    // the small/large threshold (see below); beyond the largest block of B's columns
    shapes.insert(shapes.end(), {{17, 47, 300}, {49, 65, 1}, {1000, 3, 5}, {3, 1000, 5}, {2, 2, 3000}, {700, 700, 1},
                                 {1, 1, kLongK + 1}, {3, 33, 2 * kLongK + 3}, {127, 128, 128}, {128, 128, 128},
                                 {32, 32, 2100}, {1, 4096, 64}, {4096, 1, 64}, {9, kMaxNc + 1, 20}});
    block_edges(shapes);
}

// The products of tens of millions of multiply-adds (apart, as too slow under valgrind).
TEST(Gemm, LargeBlockEdges) {
    constexpr size_t kc = bk::kPackedKC;
    block_edges({Shape{1100, 40, kc + 8}, Shape{150, 160, 2 * kc + 8}, Shape{263, 1061, kc + 44}, Shape{255, 1023, kc + 1}});
}

// The size tests above must reach the packed kernel through sgemm, not only when forced.
TEST(Gemm, ThresholdSplitsSmallFromLarge) {
    for (auto [s, large] : {std::pair{Shape{8, 8, 8}, false}, {{64, 128, 256}, false}, {{64, 500, 260}, false},
                            {{1100, 40, 520}, true}, {{32, 32, 2100}, true}, {{size_t{1} << 40, size_t{1} << 40, 2}, true}}) {
        detail::Problem p{1, s.m, s.n, s.k, {nullptr, 0, P(s.k), 1}, {nullptr, 0, P(s.n), 1}, {nullptr, 0, P(s.n), 1}};
        EXPECT_EQ(detail::prepare_for_kernels(p) && detail::beyond_small(p), large) << str(s);  // m n k must not wrap
    }
}

// AVX2's small kernel keeps only thin products: few rows, not too wide, short sums.
TEST(Gemm, Avx2LeavesAllButThinProductsToThePackedKernel) {
    namespace simd = vorka::simd;
    if (!simd::isa_supported(simd::Isa::Avx2)) GTEST_SKIP() << "no AVX2 + FMA";
    const size_t rows = bk::kAvx2SmallMaxRows, wide = bk::kAvx2SmallMaxCols, k = bk::kAvx2SmallMaxK;
    for (auto [s, large] : {std::pair{Shape{rows, 256, 256}, false}, {{rows + 8, 256, 256}, true}, {{rows, wide, 256}, false},
                            {{rows, wide + 16, 256}, true}, {{rows, 128, k}, false}, {{rows, 128, k + 1}, true}, {{2048, 32, 256}, false}}) {
        detail::Problem p{1, s.m, s.n, s.k, {nullptr, 0, P(s.k), 1}, {nullptr, 0, P(s.n), 1}, {nullptr, 0, P(s.n), 1}};
        simd::force_isa(simd::Isa::Avx2);
        const bool got = detail::prepare_for_kernels(p) && detail::beyond_small(p);
        simd::force_isa(simd::Isa::Avx512);
        EXPECT_EQ(got, large) << str(s);
    }
}

// Batches of every element type; long k is summed in halves item by item. Stacked around a shared B: one
// taller row-major product; around a shared A: one wider column-major product.
TEST(Gemm, BatchesItemByItem) {
    const std::pair<Shape, std::string> cases[] = {  // A or B shared, Stacked
        {{8, 8, 8}, ""}, {{8, 8, 8}, "A"}, {{8, 8, 8}, "B"}, {{3, 20, 40}, "AB"}, {{1, 1, 9}, "B"}, {{70, 65, 66}, "B"},
        {{3, 2, 4099}, "B"}, {{2, 3, 4500}, "A"}, {{8, 8, 8}, "BS"}, {{8, 8, 8}, "AS"}, {{1, 7, 9}, "BS"}, {{1, 7, 9}, "AS"},
        {{7, 1, 9}, "BS"}, {{7, 1, 9}, "AS"}, {{33, 40, 17}, "BS"}, {{33, 40, 17}, "AS"}, {{32, 32, 300}, "BS"}, {{32, 32, 300}, "AS"}};
    std::mt19937 rng(99);
    for (const auto& [s, f] : cases) {
        const bool share_a = f.find('A') != f.npos, share_b = f.find('B') != f.npos, stacked = f.find('S') != f.npos;
        const bool tall = stacked && share_b, wide = stacked && share_a;
        const Layout &la = kLayouts[wide ? 3 : 0], &lb = kLayouts[tall ? 3 : 1];
        const Layout& lc = kLayouts[tall ? 0 : wide ? 1 : 3];
        check<float>(s, la, lb, lc, 5, share_a, share_b, stacked, rng);
        if (s.k > vorka::gemm::blocking::kLongK) continue;  // longer 16-bit sums are split
        check<f16>(s, la, lb, lc, 5, share_a, share_b, stacked, rng);
        if (vorka::gemm::bf16_products_supported()) check<bf16>(s, la, lb, lc, 5, share_a, share_b, stacked, rng);
    }
    check<float>({8, 8, 8}, kLayouts[0], kLayouts[1], kLayouts[3], 0, false, false, false, rng);  // nothing written
}

// Values whose products could be subnormal (flushed by the instructions) make
// the product decline, wherever they sit in either operand.
TEST(GemmBf16, DeclinesValuesThatCouldMakeSubnormals) {
    if (!vorka::gemm::bf16_products_supported()) GTEST_SKIP() << "no AVX512-BF16";
    // zeros; 2^-56 is the smallest, below is out; subnormals; below 2^61 is the
    // largest; infinities, NaN; one
    const std::pair<uint16_t, bool> probes[] = {{0x0000, true}, {0x8000, true}, {0x2380, true}, {0xA380, true}, {0x237F, false},
        {0x0001, false}, {0x807F, false}, {0x5DFF, true}, {0x5E00, false}, {0xDE00, false}, {0x7F80, true}, {0xFF80, true},
        {0x7FC0, true}, {0x3F80, true}};
    for (size_t len : {size_t{1}, size_t{31}, size_t{33}, size_t{1500}})
        for (size_t pos : {size_t{0}, len / 2, len - 1})
            for (const auto& [bits, ok] : probes)
                // [2 x len] @ [len x 3], the probe in row 1 of A or column 2 of B;
                // each operand row- or column-major (they are read differently)
                for (int where = 0; where < 4; ++where) {
                    const bool in_b = where & 1, col = where & 2;
                    std::vector<bf16> a(2 * len, bf16{0x3F80}), b(len * 3, bf16{0x3F80});
                    const ptrdiff_t rsa = col ? 1 : P(len), csa = col ? 2 : 1;
                    const ptrdiff_t rsb = col ? 1 : 3, csb = col ? P(len) : 1;
                    (in_b ? b[pos * rsb + 2 * csb] : a[rsa + P(pos) * csa]) = bf16{bits};
                    std::vector<float> c(6);
                    EXPECT_EQ(vorka::gemm::bf16_gemm({1, 2, 3, len, {a.data(), 0, rsa, csa}, {b.data(), 0, rsb, csb},
                                                      {c.data(), 0, 3, 1}}),
                              ok)
                        << std::hex << bits << std::dec << " at " << pos << " of " << len
                        << (in_b ? " in B" : " in A") << (col ? ", column-major" : ", row-major");
                }
    // Past the end of each row of A read in place (its padding here) nothing is screened.
    for (size_t len : {size_t{6}, size_t{70}, size_t{130}}) {
        std::vector<bf16> a(2 * len + 40, bf16{0x0001}), b(len * 3, bf16{0x3F80});  // rows len + 40 apart
        std::fill_n(a.begin(), len, bf16{0x3F80}), std::fill_n(a.begin() + P(len + 40), len, bf16{0x3F80});
        std::vector<float> c(6);
        EXPECT_TRUE(vorka::gemm::bf16_gemm({1, 2, 3, len, {a.data(), 0, P(len + 40), 1}, {b.data(), 0, 3, 1}, {c.data(), 0, 3, 1}}));
        EXPECT_EQ(c[5], float(len)) << len;
    }
    // What a declined product left in the packing buffer never reaches a later one's padding.
    std::vector<bf16> a(2 * 40, bf16{0x3F80}), b(40 * 32, bf16{0x3F80});
    b[20 * 40] = bf16{0x0001};  // column 20 of a column-major B
    for (size_t n : {32, 16}) EXPECT_EQ(vorka::gemm::bf16_gemm({1, 2, n, 40, {a.data(), 0, 40, 1}, {b.data(), 0, 1, 40},
                                                               {std::vector<float>(64).data(), 0, P(n), 1}}), n == 16);
}

// A 16-bit result with sums longer than one k block is rounded a band of columns at a time: every band,
// the narrow last one too, holds the float32 product rounded once, in its own columns.
TEST(Gemm16, RoundedBandsPastTheFirst) {
    const size_t m = 1024, k = bk::kPackedKC + 1, n = bk::kRoundedBandFloats / m + 3;
    std::mt19937 rng(7);
    std::vector<f16> a(m * k), b(k * n), h(m * n);
    for (auto* v : {&a, &b})
        for (f16& x : *v) x = vorka::from_f32<f16>(std::uniform_real_distribution<float>(-1, 1)(rng));
    std::vector<float> wide(m * n);
    vorka::gemm::Product<f16> p{1, m, n, k, {a.data(), 0, P(k), 1}, {b.data(), 0, P(n), 1}, {wide.data(), 0, P(n), 1}};
    ASSERT_TRUE(vorka::gemm::f16_gemm(p));
    p.h = h.data();
    ASSERT_TRUE(vorka::gemm::f16_gemm(p));
    for (size_t i = 0; i < m * n; ++i) ASSERT_EQ(bits_of(h[i]), bits_of(vorka::from_f32<f16>(wide[i]))) << i;
}

// 16-bit products on each kernel the CPU can run, each shape in a fresh thread (empty packing buffers):
// around the blocks of each packed kernel (bfloat16's: packed and read-in-place tiles, its k and B
// blocks), odd k, rows of A read in place, wide B (blocks of columns).
TEST(Gemm16, EveryKernelLayoutAndBlockEdge) {
    const int lays[] = {0, 1, 4, 5, 8}, outs[] = {0, 1, 3, 9};
    std::vector<Shape> shapes = packed_block_edges(17);
    for (const bk::Tile& t : {bk::kBf16Packed, bk::kBf16Direct}) tile_edges(shapes, t, bk::kBf16KC, 19);
    shapes.insert(shapes.end(), {{1, 1, 1}, {17, 47, 2}, {8, 2100, 5}, {40, 48, 513}, {3, 5, 600}, {9, 20, 0},
                                 {9, 1023, 70}, {3, 1025, 513}, {1, 40, 20}, {9, bk::kBf16NC + 1, 20}});
    vorka::test::on_every_isa([&] {
        for (const Shape& s : shapes)
            std::thread([&] {
                std::mt19937 rng(7);
                for (int la : lays)
                    for (int lb : lays) {
                        if (s.m * s.n > 4096 && (la + lb) % 4 != 1) continue;  // some layouts of the large
                        const Layout &a = kLayouts[la], &b = kLayouts[lb], &c = kLayouts[outs[(la + lb) % 4]];
                        const bool share_a = (la + lb) % 2;
                        check<f16>(s, a, b, c, 2, share_a, !share_a, false, rng);
                        if (vorka::gemm::bf16_products_supported())
                            check<bf16>(s, a, b, c, 2, share_a, !share_a, false, rng);
                    }
            }).join();
    });
}

}  // namespace
