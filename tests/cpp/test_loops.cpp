// Every element-wise loop on every instruction set against a scalar reference
// (so bit-identical across paths), on data rich in NaNs, infinities, subnormals
// and signed zeros, contiguous, broadcast and strided, around the vector width.
#include <gtest/gtest.h>

#include <utility>

#include "common.hpp"
#include "strided/buffer.hpp"
#include "tensor/operations.hpp"

namespace {

using namespace vorka;
using namespace vorka::simd;
using vorka::test::bits_of;

template <class T>
T of_bits(uint32_t u) {
    if constexpr (std::is_same_v<T, float>) return float_from_bits(u);
    else return T{static_cast<uint16_t>(u)};
}

// A quarter special values (zeros, infinities, quiet and signalling NaNs,
// subnormals, the extremes, one), a quarter random bits, the rest in [-4, 4].
template <class T>
T random_value(std::mt19937& rng) {
    if constexpr (std::is_same_v<T, bool>) return (rng() & 1) != 0;
    else {
        constexpr bool f32 = std::is_same_v<T, float>, half = std::is_same_v<T, f16>;
        static const std::vector<uint32_t> specials =
            f32 ? std::vector<uint32_t>{0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC12345,
                                        0x7F800001, 0xFFA00000, 0x7FBFFFFF, 0x00000001, 0x807FFFFF, 0x00800000,
                                        0x7F7FFFFF, 0x3F800000, 0xBF800000}
                : std::vector<uint32_t>{0x0000, 0x8000, half ? 0x7C00u : 0x7F80u, half ? 0xFC00u : 0xFF80u,
                                        half ? 0x7E00u : 0x7FC0u, half ? 0xFE55u : 0xFFD5u, half ? 0x7C01u : 0x7F81u,
                                        half ? 0xFD00u : 0xFFA0u, 0x0001, 0x83FF, half ? 0x7BFFu : 0x7F7Fu, 0x3C00};
        switch (rng() % 4) {
            case 0: return of_bits<T>(specials[rng() % specials.size()]);
            case 1: return of_bits<T>(static_cast<uint32_t>(rng()));
            default: return from_f32<T>(std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng));
        }
    }
}

// n contiguous elements of random bits: cheaper than make_input for inputs of
// many megabytes, and for the 16-bit formats just as rich in special values.
template <class T>
std::unique_ptr<T[]> random_bits(size_t n, uint64_t seed) {
    auto v = std::make_unique<T[]>(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        v[i] = of_bits<T>(static_cast<uint32_t>(seed >> 32));
    }
    return v;
}

// n elements at element stride s, in storage of their own.
template <class T>
struct Strided {
    std::unique_ptr<T[]> store;  // not std::vector: vector<bool> has no data()
    const T* p;
    ptrdiff_t s;
    T at(size_t i) const { return p[static_cast<ptrdiff_t>(i) * s]; }
};

template <class T>
Strided<T> make_input(size_t n, ptrdiff_t s, std::mt19937& rng) {
    const size_t span = n == 0 ? 1 : (n - 1) * static_cast<size_t>(s < 0 ? -s : s) + 1;
    Strided<T> in{std::make_unique<T[]>(span), nullptr, s};
    for (size_t k = 0; k < span; ++k) in.store[k] = random_value<T>(rng);
    in.p = in.store.get() + (s < 0 ? span - 1 : 0);
    return in;
}

// Runs `fn(out)` and checks out[i] == ref(i) bit for bit, and that nothing past
// n was written. The output starts `shift` elements past a 64-byte boundary.
template <class O, class Fn, class Ref>
void expect_outputs(size_t n, Fn fn, Ref ref, size_t shift = 0) {
    constexpr size_t kGuard = 64;
    RawBuffer buf((shift + n + kGuard) * sizeof(O));
    auto* bytes = static_cast<unsigned char*>(buf.data());
    std::memset(bytes, 0xA5, buf.bytes());
    O* out = reinterpret_cast<O*>(bytes) + shift;
    fn(out);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t got = bits_of(out[i]), want = bits_of(static_cast<O>(ref(i)));
        ASSERT_EQ(got, want) << "element " << i << std::hex << ": got 0x" << got << ", want 0x" << want;
    }
    for (size_t k = (shift + n) * sizeof(O); k < buf.bytes(); ++k)
        ASSERT_EQ(bytes[k], 0xA5) << "wrote past the end, byte " << k;
}

// The loops of every row of the operation tables, each against the reference
// of its lane functor, ref_<functor>: a row without one does not compile.
#define REF(functor, V, expr) auto ref_##functor(V x, V y) { return expr; }
REF(AddF, float, x + y) REF(SubF, float, x - y) REF(MulF, float, x * y) REF(DivF, float, x / y)
REF(EqF, float, x == y) REF(NeF, float, x != y) REF(LtF, float, x < y) REF(LeF, float, x <= y)
REF(GtF, float, x > y) REF(GeF, float, x >= y) REF(AndF, bool, x && y) REF(OrF, bool, x || y)
REF(XorF, bool, x != y)
#undef REF
#define LANE_REF(name, lane, ...) ref_##lane##F,
#define NUMBER_REF(name, lane, functor, reflected, ...) {ref_##functor, reflected},  // reflected: s op x
constexpr float (*kArithRefs[])(float, float) = {VORKA_ARITHMETIC_OPS(LANE_REF)};
constexpr bool (*kCompareRefs[])(float, float) = {VORKA_COMPARISON_OPS(LANE_REF)};
constexpr bool (*kLogicalRefs[])(bool, bool) = {VORKA_LOGICAL_OPS(LANE_REF)};
constexpr std::pair<float (*)(float, float), bool> kNumberRefs[] = {VORKA_NUMBER_OPS(NUMBER_REF)};
#undef NUMBER_REF
#undef LANE_REF
constexpr BinaryOp kBinaryOps[] = {VORKA_ARITHMETIC_OPS(BinaryOp::VORKA_OP_LANE)};
constexpr ScalarOp kScalarOps[] = {VORKA_NUMBER_OPS(ScalarOp::VORKA_OP_LANE)};
constexpr CompareOp kCompareOps[] = {VORKA_COMPARISON_OPS(CompareOp::VORKA_OP_LANE)};
constexpr LogicalOp kLogicalOps[] = {VORKA_LOGICAL_OPS(LogicalOp::VORKA_OP_LANE)};

// NaN result: the first NaN operand, quieted.
float ref_arith(float (*ref)(float, float), float x, float y) {
    return is_nan(x) ? quieted(x) : is_nan(y) ? quieted(y) : ref(x, y);
}
// Each result through the element type, as the loops store it.
template <class T>
T ref_arith(BinaryOp op, T x, T y) {
    return from_f32<T>(ref_arith(kArithRefs[int(op)], to_f32(x), to_f32(y)));
}

template <class V>
bool ref_compare(CompareOp op, V x, V y) {
    return kCompareRefs[int(op)](x, y);
}

// +0 for NaNs of every kind and for the sign set
template <class T>
T ref_relu(T x) {
    if constexpr (std::is_same_v<T, float>) return x > 0.0f ? x : 0.0f;
    else return x.bits <= (std::is_same_v<T, f16> ? 0x7C00 : 0x7F80) ? x : T{0};
}

// NaN scalars whose low 16 bits are set (bfloat16 results truncate the
// payload; rounding it would carry into the exponent or the sign), then random.
constexpr uint32_t kNanScalars[] = {0x7F800001u, 0xFFBFFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x7FC08000u, 0x7FC18000u};

// Every loop of type T at every pair of strides, at lengths around the vector widths
// (4, 8, 16 floats; 32 bfloat16 in the paired loops) and past the gather chunk.
template <class T>
void check_type(std::mt19937& rng) {
    size_t nan_scalar = 0;
    using Pair = std::pair<ptrdiff_t, ptrdiff_t>;
    for (auto [sa, sb] : {Pair{1, 1}, Pair{1, 0}, Pair{0, 1}, Pair{2, -1}, Pair{0, 0}, Pair{-3, 2}}) {
        for (size_t n : {0, 1, 3, 15, 16, 17, 31, 33, 1000}) {
            SCOPED_TRACE(std::string(typeid(T).name()) + " strides (" + std::to_string(sa) + "," + std::to_string(sb) +
                         ") n=" + std::to_string(n));
            const auto a = make_input<T>(n, sa, rng), b = make_input<T>(n, sb, rng);
            for (CompareOp op : kCompareOps)
                expect_outputs<bool>(n, [&](bool* out) { compare(op, a.p, a.s, b.p, b.s, out, n); }, [&](size_t i) {
                    if constexpr (std::is_same_v<T, bool>) return ref_compare(op, a.at(i), b.at(i));
                    else return ref_compare(op, to_f32(a.at(i)), to_f32(b.at(i)));
                });
            if constexpr (std::is_same_v<T, bool>) {
                for (LogicalOp op : kLogicalOps) {
                    const auto ref = kLogicalRefs[int(op)];
                    expect_outputs<bool>(n, [&](bool* out) { logical(op, a.p, a.s, b.p, b.s, out, n); },
                                         [&](size_t i) { return ref(a.at(i), b.at(i)); });
                }
                expect_outputs<bool>(n, [&](bool* out) { logical_not(a.p, a.s, out, n); },
                                     [&](size_t i) { return !a.at(i); });
            } else {
                for (BinaryOp op : kBinaryOps) {
                    SCOPED_TRACE("binary " + std::to_string(int(op)));
                    auto ref = [&](size_t i) { return ref_arith(op, a.at(i), b.at(i)); };
                    expect_outputs<T>(n, [&](T* out) { binary(op, a.p, a.s, b.p, b.s, out, n); }, ref);
                    if (sa == 1)  // in place over a
                        expect_outputs<T>(n, [&](T* out) {
                            std::copy(a.p, a.p + n, out);
                            binary<T>(op, out, 1, b.p, b.s, out, n);
                        }, ref);
                }
                for (const float s : {random_value<float>(rng), float_from_bits(kNanScalars[nan_scalar++ % 6])}) {
                    SCOPED_TRACE("s=" + std::to_string(float_bits(s)));
                    for (ScalarOp op : kScalarOps) {
                        const auto [functor, reflected] = kNumberRefs[int(op)];
                        expect_outputs<T>(n, [&](T* out) { scalar(op, a.p, a.s, s, out, n); }, [&](size_t i) {
                            const float v = to_f32(a.at(i));
                            return from_f32<T>(reflected ? ref_arith(functor, s, v) : ref_arith(functor, v, s));
                        });
                    }
                    for (CompareOp op : kCompareOps)
                        expect_outputs<bool>(n, [&](bool* out) { scalar_compare(op, a.p, a.s, s, out, n); },
                                             [&](size_t i) { return ref_compare(op, to_f32(a.at(i)), s); });
                }
                expect_outputs<T>(n, [&](T* out) { relu(b.p, b.s, out, n); },
                                  [&](size_t i) { return ref_relu(b.at(i)); });
                expect_outputs<T>(n, [&](T* out) { relu_backward(a.p, a.s, b.p, b.s, out, n); },
                                  [&](size_t i) { return to_f32(b.at(i)) > 0.0f ? a.at(i) : T{}; });
                if constexpr (!std::is_same_v<T, float>) {
                    if (sa != 1 || sb != 1) continue;
                    const auto f = make_input<float>(n, 1, rng);
                    expect_outputs<float>(n, [&](float* out) { widen(a.p, out, n); },
                                          [&](size_t i) { return to_f32(a.at(i)); });
                    expect_outputs<T>(n, [&](T* out) { narrow(f.p, out, n); },
                                      [&](size_t i) { return from_f32<T>(f.at(i)); });
                }
            }
        }
    }
}

TEST(Loops, EveryLoopAgainstReference) {
    vorka::test::on_every_isa([] {
        std::mt19937 rng(1234);
        check_type<float>(rng);
        check_type<f16>(rng);
        check_type<bf16>(rng);
        check_type<bool>(rng);
    });
}

// Outputs of 8 MiB and more bypass the caches when vector-aligned; a shifted
// output takes the ordinary stores. Each output kind, both ways.
TEST(Loops, LargeOutputs) {
    constexpr size_t kMiB = size_t{1} << 20, n = 2 * kMiB + 37, n16 = 4 * kMiB + 37, n8 = 8 * kMiB + 37;
    const auto a = random_bits<float>(n, 1), b = random_bits<float>(n, 2);
    const auto c = random_bits<bf16>(n16, 3), d = random_bits<bf16>(n16, 4);
    const auto h = random_bits<f16>(n8, 5);
    vorka::test::on_every_isa([&] {
        for (size_t shift : {0, 1}) {
            SCOPED_TRACE("shift " + std::to_string(shift));
            expect_outputs<float>(n, [&](float* out) { binary(BinaryOp::Add, a.get(), 1, b.get(), 1, out, n); },
                                  [&](size_t i) { return ref_arith(BinaryOp::Add, a[i], b[i]); }, shift);
            expect_outputs<bf16>(n16, [&](bf16* out) { binary(BinaryOp::Mul, c.get(), 1, d.get(), 1, out, n16); },
                                 [&](size_t i) { return ref_arith(BinaryOp::Mul, c[i], d[i]); }, shift);
            expect_outputs<f16>(n16, [&](f16* out) { scalar(ScalarOp::Sub, h.get(), 1, 0.5f, out, n16); },
                                [&](size_t i) { return ref_arith(BinaryOp::Sub, h[i], f16{0x3800}); }, shift);
            expect_outputs<bool>(n8, [&](bool* out) { scalar_compare(CompareOp::Lt, h.get(), 1, 0.25f, out, n8); },
                                 [&](size_t i) { return to_f32(h[i]) < 0.25f; }, shift);
        }
    });
}

// Sums of runs and columns: the same bits on every instruction set (NaN payloads
// too), on positive data within a few roundings however long (pairwise).
TEST(LoopSums, SameOnEveryIsaAndAccurate) {
    auto check = [&]<class T>() {
        const struct {
            size_t rows, cols;
            ptrdiff_t sr, sc;  // element strides of the input
        } cases[] = {{1, 1, 1, 1},     {17, 3, 3, 1},      {257, 1, 1, 1},  {1000, 40, 40, 1}, {4099, 5, 1, 4099},
                     {33, 300, 300, 1}, {2, 600, 1, 2},    {1 << 20, 2, 2, 1}, {70000, 16, 16, 1}, {3, 7, 0, 1},
                     {15, 9, 1, 15},   {33, 17, 17, 1},    {9, 31, 31, 1}};
        std::mt19937 rng(77);
        for (const auto& c : cases) {
            const size_t span = (c.rows - 1) * c.sr + (c.cols - 1) * c.sc + 1;
            SCOPED_TRACE(std::string(typeid(T).name()) + " rows " + std::to_string(c.rows) + " cols " +
                         std::to_string(c.cols));
            for (bool special : {false, true}) {
                auto x = random_bits<T>(span, c.rows + c.cols);
                std::vector<double> exact(c.cols, 0.0);
                if (!special) {
                    std::uniform_real_distribution<float> u(0.0f, 1.0f);
                    for (size_t k = 0; k < span; ++k) x[k] = from_f32<T>(u(rng));
                    for (size_t i = 0; i < c.rows; ++i)
                        for (size_t j = 0; j < c.cols; ++j) exact[j] += to_f32(x[i * c.sr + j * c.sc]);
                }
                std::vector<uint32_t> first;
                vorka::test::on_every_isa([&] {
                    const size_t so = 1 + c.cols % 2;  // odd column counts to every other float, as for outer axes
                    std::vector<float> cols(c.cols * so), runs(c.cols);
                    sum_rows<T>(x.get(), c.sr, c.sc, c.rows, c.cols, cols.data(), static_cast<ptrdiff_t>(so));
                    for (size_t j = 0; j < c.cols; ++j) runs[j] = sum<T>(x.get() + j * c.sc, c.sr, c.rows);
                    std::vector<uint32_t> got;
                    for (size_t j = 0; j < c.cols; ++j)
                        got.insert(got.end(), {float_bits(cols[j * so]), float_bits(runs[j])});
                    if (first.empty()) first = got;
                    EXPECT_EQ(got, first) << (special ? "random bits" : "");
                    for (size_t j = 0; j < c.cols && !special; ++j) {
                        const double tol = 4e-7 * exact[j] + 1e-30;
                        EXPECT_NEAR(cols[j * so], exact[j], tol) << "column " << j;
                        EXPECT_NEAR(runs[j], exact[j], tol) << "run " << j;
                    }
                });
            }
        }
    };
    check.operator()<float>();
    check.operator()<f16>();
    check.operator()<bf16>();
}


// GCC follows data()'s branch to the small inline array, not knowing that a
// buffer this large is never inline, and reports the writes below as out of bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"

// Blocks around the sizes where buffers move from the C allocator to mapped,
// recycled blocks (and huge pages): aligned, poisoned in sanitizer builds,
// writable to the last byte, never shared while live, also when recycled.
TEST(LoopBuffers, AlignedDistinctAndWritable) {
    constexpr size_t kKiB = 1024, kMiB = kKiB * kKiB;
    const size_t sizes[] = {33, 4096, 256 * kKiB - 1, 256 * kKiB, 256 * kKiB + 1, 4 * kMiB - 1, 4 * kMiB, 5 * kMiB + 3};
    for (int round = 0; round < 3; ++round) {
        std::vector<RawBuffer> live;  // two of each size
        for (size_t i = 0; i < 2 * std::size(sizes); ++i) {
            const size_t bytes = sizes[i % std::size(sizes)];
            auto* p = static_cast<unsigned char*>(live.emplace_back(bytes).data());
            ASSERT_EQ(live[i].bytes(), bytes);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (bytes >= 4 * kMiB && !kExactAlloc ? 2 * kMiB : 64), 0u);
            EXPECT_TRUE(!kExactAlloc || p[bytes - 1] == kPoisonByte);
            std::memset(p, static_cast<int>(i + 1), bytes);
        }
        for (size_t i = 0; i < live.size(); ++i) {
            const auto* p = static_cast<const unsigned char*>(live[i].data());
            EXPECT_TRUE(p[0] == i + 1 && p[live[i].bytes() - 1] == i + 1) << i;
        }
    }
}

#pragma GCC diagnostic pop

}  // namespace
