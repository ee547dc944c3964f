// The backward pass on a private tape: gradient store, walk order, what a
// pass publishes (and what a failed one does not), node rules with broadcast
// reduction, the gradient kernels, and a chain long enough to expose recursion.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "autograd/context.hpp"
#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "autograd/nodes.hpp"
#include "engine/cpu/numeric/formats.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "engine/cpu/storage/backward.hpp"
#include "engine/cpu/storage/numeric.hpp"
#include "engine/cpu/storage/shape.hpp"
#include "strided/iter.hpp"

using namespace vorka;

namespace {

Dims D(std::initializer_list<std::size_t> v) { return Dims(v); }

template <class T = float>
CpuStorage make(Dims shape, const std::vector<float>& values) {
    std::vector<T> v;
    for (float x : values) v.push_back(from_f32<T>(x));
    return CpuStorage(NdArray<T>::from_shape_vec(std::move(shape), v.data(), v.size()).value());
}

CpuStorage iota(Dims shape, float start = 1.0f) {
    std::vector<float> v(checked_size(shape).value());
    std::iota(v.begin(), v.end(), start);
    return make(std::move(shape), v);
}

// Elements in logical (row-major) order, as float.
std::vector<float> values(const CpuStorage& s) {
    return s.visit([](const auto& a) {
        using T = std::remove_cvref_t<decltype(*a.data())>;
        std::vector<float> out;
        if constexpr (!std::is_same_v<T, bool>) {
            auto std_arr = vorka::to_standard_layout(a.view());
            for (std::size_t i = 0; i < std_arr.size(); ++i) out.push_back(to_f32(std_arr.data()[i]));
        }
        return out;
    });
}

// ---- AutogradContext ------------------------------------------------------

TEST(AutogradContext, AccumulateMovesThenSumsAndGrows) {
    AutogradContext ctx(2);
    Storage g(iota(D({3})));
    Storage keep = g;
    ASSERT_TRUE(ctx.accumulate(std::size_t{1}, std::move(g)).ok());
    ASSERT_NE(ctx.peek(1), nullptr);
    EXPECT_TRUE(ctx.peek(1)->same(keep)) << "an empty slot takes the gradient itself";

    ASSERT_TRUE(ctx.accumulate(std::size_t{1}, Storage(iota(D({3}), 10.0f))).ok());
    EXPECT_EQ(values(**ctx.peek(1)), (std::vector<float>{11, 13, 15}));

    ASSERT_TRUE(ctx.accumulate(std::size_t{5}, Storage(iota(D({1})))).ok());
    EXPECT_EQ(ctx.size(), 6u);
    EXPECT_EQ(ctx.peek(4), nullptr);
    EXPECT_TRUE(ctx.take(5));
    EXPECT_EQ(ctx.peek(5), nullptr);
}

TEST(AutogradContext, FailedAccumulateKeepsSlot) {
    AutogradContext ctx(1);
    Storage half(make<f16>(D({2}), {1, 2}));
    ASSERT_TRUE(ctx.accumulate(std::size_t{0}, half).ok());
    auto st = ctx.accumulate(std::size_t{0}, Storage(iota(D({2}))));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind, ErrorKind::Value);
    EXPECT_TRUE(ctx.peek(0)->same(half));
}

// ---- sum_to_shape -----------------------------------------------------------

struct ReduceCase {
    Dims from, to;
    std::vector<float> expected;  // of iota(from)
};

class AutogradSumToShape : public ::testing::TestWithParam<ReduceCase> {};

TEST_P(AutogradSumToShape, SumsAddedAndStretchedAxes) {
    const auto& p = GetParam();
    auto r = storage_ops::sum_to_shape(iota(p.from), p.to);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->shape(), p.to);
    EXPECT_EQ(values(*r), p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AutogradSumToShape,
    ::testing::Values(ReduceCase{D({2, 3}), D({3}), {5, 7, 9}}, ReduceCase{D({2, 3}), D({2, 1}), {6, 15}},
                      ReduceCase{D({2, 3}), D({1, 3}), {5, 7, 9}}, ReduceCase{D({2, 3}), D({}), {21}},
                      ReduceCase{D({2, 3, 2}), D({3, 1}), {1 + 2 + 7 + 8, 3 + 4 + 9 + 10, 5 + 6 + 11 + 12}},
                      ReduceCase{D({2, 2, 2}), D({2, 1, 2}), {4, 6, 12, 14}},
                      ReduceCase{D({0, 3}), D({1, 3}), {0, 0, 0}}, ReduceCase{D({4}), D({4}), {1, 2, 3, 4}}));

TEST(AutogradSumToShape, SixteenBitSumsRoundOnce) {
    // 2048 + 1 + 1 in float16 steps would stay 2048; one rounding gives 2050.
    auto h = storage_ops::sum_to_shape(make<f16>(D({3}), {2048, 1, 1}), D({}));
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(values(*h), std::vector<float>{2050});
    auto b = storage_ops::sum_to_shape(make<bf16>(D({3, 1}), {256, 1, 1}), D({1}));
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(values(*b), std::vector<float>{258});
}

// The order of the additions follows shapes and strides only: the same bits
// on every instruction set, NaN payloads included, for both memory orders.
template <class T>
void check_sums_on_every_isa() {
    std::mt19937 rng(3);
    std::vector<float> v(300 * 7 * 40);
    for (float& x : v)
        x = rng() % 4 ? std::uniform_real_distribution<float>(-1, 1)(rng) : float_from_bits(static_cast<uint32_t>(rng()));
    const CpuStorage g = make<T>(D({300, 7, 40}), v);
    const CpuStorage gt = storage_ops::transpose(g, 0, 2).value();  // [40, 7, 300], column-major
    const std::pair<const CpuStorage*, Dims> cases[] = {{&g, D({40})},  {&g, D({7, 1})},  {&g, D({300, 1, 1})},
                                                        {&g, D({})},    {&gt, D({300})},  {&gt, D({40, 1, 1})},
                                                        {&gt, D({7, 1})}, {&gt, D({40, 7, 1})}};
    for (const auto& [from, to] : cases) {
        std::vector<uint32_t> first;
        for (simd::Isa isa : {simd::Isa::Generic, simd::Isa::Avx2, simd::Isa::Avx512}) {
            if (!simd::isa_supported(isa)) continue;
            simd::force_isa(isa);
            auto r = storage_ops::sum_to_shape(*from, to);
            ASSERT_TRUE(r.ok());
            std::vector<uint32_t> bits;
            r->visit([&](const auto& a) {
                if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(*a.data())>, bool>)
                    for (std::size_t i = 0; i < a.size(); ++i) bits.push_back(float_bits(to_f32(a.data()[i])));
            });
            if (first.empty()) first = bits;
            EXPECT_EQ(bits, first) << "instruction set " << int(isa) << ", to " << shape_text(to);
        }
        simd::force_isa(simd::Isa::Avx512);
    }
}

TEST(AutogradSumToShape, SameBitsOnEveryIsa) {
    check_sums_on_every_isa<float>();
    check_sums_on_every_isa<f16>();
    check_sums_on_every_isa<bf16>();
}

TEST(AutogradSumToShape, RefusesShapesThatDoNotBroadcastUp) {
    for (Dims to : {D({2}), D({4, 2, 3}), D({3, 3})}) {
        auto r = storage_ops::sum_to_shape(iota(D({2, 3})), to);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::Runtime);
    }
}

// ---- gradient kernels ---------------------------------------------------------

TEST(AutogradKernels, MulDivRelu) {
    auto m = storage_ops::backward_mul(make(D({3}), {1, 2, 3}), make(D({3}), {1, 1, 1}), make(D({3}), {4, 5, 6}), {});
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(values(*m->lhs), (std::vector<float>{4, 5, 6}));
    EXPECT_EQ(values(*m->rhs), (std::vector<float>{1, 2, 3}));

    auto d = storage_ops::backward_div(make(D({1}), {6}), make(D({1}), {1}), make(D({1}), {2}), {});
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(values(*d->lhs), std::vector<float>{0.5f});
    EXPECT_EQ(values(*d->rhs), std::vector<float>{-1.5f});

    auto db = storage_ops::backward_div(make(D({3}), {1, 2, 3}), make(D({2, 3}), {1, 1, 1, 1, 1, 1}),
                                        make(D({2, 3}), {1, 2, 4, 1, 2, 4}), {});
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->lhs->shape(), D({2, 3}));
    EXPECT_EQ(values(*db->rhs), (std::vector<float>{-1, -0.5f, -0.1875f, -1, -0.5f, -0.1875f}));

    auto r = storage_ops::backward_relu(make(D({3}), {-1, 0, 2}), make(D({3}), {5, 5, 5}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(values(*r), (std::vector<float>{0, 0, 5}));
}

TEST(AutogradKernels, HalfDivisionRoundsOnceFromFloat32) {
    auto d = storage_ops::backward_div(make<f16>(D({1}), {1}), make<f16>(D({1}), {1}), make<f16>(D({1}), {300}), {});
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(values(*d->lhs)[0], f16_to_f32(f32_to_f16(1.0f / 300.0f)));
    const float gr = values(*d->rhs)[0];
    EXPECT_EQ(gr, f16_to_f32(f32_to_f16(-1.0f / 90000.0f)));
    EXPECT_LT(gr, -1e-5f);
}

// float16 division gradients are the float32 ones of the widened operands,
// rounded once, on every instruction set: NaN, inf and subnormal operands,
// lengths around the vector widths and the conversion blocks, broadcast and
// strided operands.
TEST(AutogradKernels, HalfDivisionIsFloat32RoundedOnEveryIsa) {
    std::mt19937 rng(5);
    auto bits_of = [](const CpuStorage& s) {
        std::vector<uint16_t> out;
        auto a = vorka::to_standard_layout(s.get<f16>()->view());
        for (std::size_t i = 0; i < a.size(); ++i) out.push_back(a.data()[i].bits);
        return out;
    };
    auto narrowed = [](const CpuStorage& s) {
        std::vector<uint16_t> out;
        for (float v : values(s)) out.push_back(f32_to_f16(v).bits);
        return out;
    };
    for (std::size_t n : {1, 7, 8, 9, 15, 16, 17, 33, 255, 256, 257, 700}) {
        std::vector<f16> h(3 * n);
        for (f16& x : h) x = f16{static_cast<uint16_t>(rng() % 3 ? f32_to_f16(std::uniform_real_distribution<float>(-4, 4)(rng)).bits : rng())};
        for (std::size_t k = 0; k < 8 && k < n; ++k) h[n + k] = f16{std::array<uint16_t, 8>{0x0001, 0x8200, 0x7C00, 0xFC00, 0x7E01, 0x7C01, 0x0000, 0x03FF}[k]};
        const CpuStorage g = CpuStorage(NdArray<f16>::from_shape_vec(D({n}), h.data(), n).value());
        const CpuStorage a = CpuStorage(NdArray<f16>::from_shape_vec(D({n}), h.data() + n, n).value());
        const CpuStorage b2 = CpuStorage(NdArray<f16>::from_shape_vec(D({n, 2}), h.data() + n, 2 * n).value());
        const CpuStorage b = storage_ops::transpose(b2, 0, 1).value();  // [2, n], strided rows
        const CpuStorage bias = CpuStorage(NdArray<f16>::from_shape_vec(D({1, 1}), h.data() + 2 * n, 1).value());
        const CpuStorage gw = storage_ops::widen_f32(g).value(), aw = storage_ops::widen_f32(a).value();
        const CpuStorage bw = storage_ops::widen_f32(b).value(), biasw = storage_ops::widen_f32(bias).value();
        const auto want = storage_ops::backward_div(aw, gw, bw, {}).value();
        const auto want_bias = storage_ops::backward_div(bw, biasw, biasw, {}).value();
        const auto want_rdiv = storage_ops::backward_rdiv(aw, gw, -3.0f).value();
        for (simd::Isa isa : {simd::Isa::Generic, simd::Isa::Avx2, simd::Isa::Avx512}) {
            if (!simd::isa_supported(isa)) continue;
            simd::force_isa(isa);
            SCOPED_TRACE("n=" + std::to_string(n) + " isa " + std::to_string(int(isa)));
            const auto got = storage_ops::backward_div(a, g, b, {}).value();
            EXPECT_EQ(bits_of(*got.lhs), narrowed(*want.lhs));
            EXPECT_EQ(bits_of(*got.rhs), narrowed(*want.rhs));
            const auto got_bias = storage_ops::backward_div(b, bias, bias, {false, true}).value();
            EXPECT_FALSE(got_bias.lhs);
            EXPECT_EQ(bits_of(*got_bias.rhs), narrowed(*want_bias.rhs));
            EXPECT_EQ(bits_of(storage_ops::backward_rdiv(a, g, -3.0f).value()), narrowed(want_rdiv));
        }
        simd::force_isa(simd::Isa::Avx512);
    }
}

TEST(AutogradKernels, TypeAndShapeErrors) {
    const std::string binary = "DType mismatch between gradient and operands during backward pass.";
    const std::string unary = "DType mismatch between gradient and input during unary backward pass.";
    auto f = make(D({2}), {1, 2});
    auto h = make<f16>(D({2}), {1, 2});
    auto b = CpuStorage(NdArray<bool>::from_elem(D({2}), true));
    for (auto* op : {&storage_ops::backward_mul, &storage_ops::backward_div, &storage_ops::backward_matmul}) {
        for (auto [l, g, r] : {std::tuple{&f, &f, &h}, std::tuple{&h, &f, &f}, std::tuple{&b, &b, &b}}) {
            auto res = op(*l, *g, *r, {});
            ASSERT_FALSE(res.ok());
            EXPECT_EQ(res.error().kind, ErrorKind::Type);
            EXPECT_EQ(res.error().message, binary);
        }
    }
    std::vector<Result<CpuStorage>> unary_results;
    unary_results.push_back(storage_ops::backward_relu(h, f));
    unary_results.push_back(storage_ops::backward_relu(b, b));
    unary_results.push_back(storage_ops::backward_rdiv(h, f, 1.0f));
    for (const auto& res : unary_results) {
        ASSERT_FALSE(res.ok());
        EXPECT_EQ(res.error().kind, ErrorKind::Type);
        EXPECT_EQ(res.error().message, unary);
    }
    auto relu = storage_ops::backward_relu(iota(D({3})), iota(D({2, 3})));
    ASSERT_FALSE(relu.ok());
    EXPECT_EQ(relu.error().kind, ErrorKind::Runtime);
    EXPECT_EQ(relu.error().message, "Shape mismatch in relu_backward: grad [2, 3] vs input [3]");
    auto mm = storage_ops::backward_matmul(iota(D({3})), iota(D({3, 4})), iota(D({3, 4})), {});
    ASSERT_FALSE(mm.ok());
    EXPECT_EQ(mm.error().message, "Matmul requires at least 2D tensors. A: 1D, B: 2D");
}

// ---- the pass on a private tape ---------------------------------------------

NodeId leaf(Tape& tape) { return tape.push_node(nullptr); }

std::vector<float> grad_of(const Tape& tape, const NodeId& id) {
    auto g = tape.get_grad(id);
    return g ? values(*g) : std::vector<float>{};
}

TEST(AutogradEngine, ProductOfSharedInputAndOverwrite) {
    Tape tape;
    Storage x(make(D({3}), {1, 2, 3}));
    NodeId xi = leaf(tape);
    NodeId y = tape.push_node(std::make_unique<MulNode>(x, x, xi, xi));
    for (int pass = 0; pass < 2; ++pass) {  // a second pass overwrites, never adds
        ASSERT_TRUE(run_backward(tape, y, Storage(storage_ops::ones_like(*x))).ok());
        EXPECT_EQ(grad_of(tape, xi), (std::vector<float>{2, 4, 6}));
        EXPECT_EQ(grad_of(tape, y), (std::vector<float>{1, 1, 1}));
    }
}

TEST(AutogradEngine, BroadcastOperandsGetTheirOwnShape) {
    // x [3] reaches the root through products with constants [2, 3] and [4, 3];
    // root = p1 + reshape(p2, [4, 1, 3]) has shape [4, 2, 3].
    Tape tape;
    Storage x(make(D({3}), {1, 2, 3}));
    Storage c1(iota(D({2, 3}))), c2(iota(D({4, 3})));
    NodeId xi = leaf(tape);
    NodeId k1 = leaf(tape), p1 = tape.push_node(std::make_unique<MulNode>(x, c1, xi, k1));
    NodeId k2 = leaf(tape), p2 = tape.push_node(std::make_unique<MulNode>(c2, x, k2, xi));
    NodeId r2 = tape.push_node(std::make_unique<ReshapeNode>(D({4, 3}), p2));
    NodeId root = tape.push_node(std::make_unique<AddNode>(p1, r2, D({2, 3}), D({4, 1, 3})));
    ASSERT_TRUE(run_backward(tape, root, Storage(storage_ops::ones_like(iota(D({4, 2, 3}))))).ok());
    EXPECT_EQ(grad_of(tape, p1), std::vector<float>(6, 4.0f));
    EXPECT_EQ(grad_of(tape, r2), std::vector<float>(12, 2.0f));
    // 4 * column sums of c1 + 2 * column sums of c2.
    EXPECT_EQ(grad_of(tape, xi), (std::vector<float>{4 * 5 + 2 * 22, 4 * 7 + 2 * 26, 4 * 9 + 2 * 30}));
    EXPECT_EQ(grad_of(tape, k1), (std::vector<float>{4, 8, 12, 4, 8, 12}));
    EXPECT_EQ(tape.get_grad(k2)->shape(), D({4, 3}));
}

TEST(AutogradEngine, AddAndSubReduceEachSide) {
    Tape tape;
    NodeId x = leaf(tape), c = leaf(tape);
    NodeId s = tape.push_node(std::make_unique<SubNode>(x, c, D({3}), D({2, 1})));
    ASSERT_TRUE(run_backward(tape, s, Storage(iota(D({2, 3})))).ok());
    EXPECT_EQ(grad_of(tape, x), (std::vector<float>{5, 7, 9}));
    EXPECT_EQ(grad_of(tape, c), (std::vector<float>{-6, -15}));

    NodeId a = tape.push_node(std::make_unique<AddNode>(x, x, D({3}), D({3})));
    ASSERT_TRUE(run_backward(tape, a, Storage(make(D({3}), {1, 2, 3}))).ok());
    EXPECT_EQ(grad_of(tape, x), (std::vector<float>{2, 4, 6}));
    EXPECT_EQ(grad_of(tape, c), (std::vector<float>{-6, -15})) << "not reached: keeps the earlier pass";
}

// A leaf pushed for a constant operand receives nothing; the other side's
// gradient is the one a node wanting both would send.
TEST(AutogradEngine, ConstantOperandLeafGetsNoGradient) {
    Storage a(iota(D({2, 1, 3}))), b(iota(D({4, 3}), 2.0f)), ma(iota(D({2, 2, 3}))), mb(iota(D({3, 5})));
    using Make = std::unique_ptr<BackwardOp> (*)(const Storage&, const Storage&, NodeId, NodeId, Needs);
    const std::pair<const char*, Make> kinds[] = {
        {"add", [](const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) -> std::unique_ptr<BackwardOp> {
             return std::make_unique<AddNode>(l, r, x->shape(), y->shape(), n);
         }},
        {"sub", [](const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) -> std::unique_ptr<BackwardOp> {
             return std::make_unique<SubNode>(l, r, x->shape(), y->shape(), n);
         }},
        {"mul", [](const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) -> std::unique_ptr<BackwardOp> {
             return std::make_unique<MulNode>(x, y, l, r, n);
         }},
        {"div", [](const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) -> std::unique_ptr<BackwardOp> {
             return std::make_unique<DivNode>(x, y, l, r, n);
         }},
        {"matmul", [](const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) -> std::unique_ptr<BackwardOp> {
             return std::make_unique<MatmulNode>(x, y, l, r, n);
         }},
    };
    for (const auto& [name, make_node] : kinds) {
        const bool mm = std::string(name) == "matmul";
        const Storage &x = mm ? ma : a, &y = mm ? mb : b;
        const Dims out = mm ? D({2, 2, 5}) : D({2, 4, 3});
        std::vector<float> full[2];
        for (int constant = -1; constant < 2; ++constant) {
            Tape tape;
            NodeId l = leaf(tape), r = leaf(tape);
            NodeId root = tape.push_node(make_node(x, y, l, r, Needs{constant != 0, constant != 1}));
            ASSERT_TRUE(run_backward(tape, root, Storage(iota(out, 0.5f))).ok()) << name;
            const NodeId ids[2] = {l, r};
            for (int side = 0; side < 2; ++side) {
                if (constant < 0)
                    full[side] = grad_of(tape, ids[side]);
                else if (side == constant)
                    EXPECT_FALSE(tape.get_grad(ids[side])) << name << " computed a gradient nobody can read";
                else
                    EXPECT_EQ(grad_of(tape, ids[side]), full[side]) << name << " side " << side;
            }
        }
        EXPECT_FALSE(full[0].empty() || full[1].empty()) << name;
    }
}

TEST(AutogradEngine, ScalarNodesReshapeOfTransposedGradient) {
    Tape tape;
    Storage xs(make(D({6}), {1, 2, 3, 4, 5, 6}));
    NodeId x = leaf(tape);
    NodeId r = tape.push_node(std::make_unique<ReshapeNode>(D({6}), x));
    NodeId t = tape.push_node(std::make_unique<TransposeNode>(r, 0, 1));
    NodeId d = tape.push_node(std::make_unique<ScalarDivNode>(t, 4.0f));
    NodeId q = tape.push_node(std::make_unique<ScalarRDivNode>(Storage(make(D({2, 3}), {1, 2, 4, 1, 2, 4})), d, 2.0f));
    ASSERT_TRUE(run_backward(tape, q, Storage(storage_ops::ones_like(make(D({2, 3}), {0, 0, 0, 0, 0, 0})))).ok());
    // dq/dd = -2 / d^2; dd/dt = 1/4; the transpose and reshape only move values.
    const std::vector<float> rdiv = {-2, -0.5f, -0.125f, -2, -0.5f, -0.125f};
    EXPECT_EQ(grad_of(tape, d), rdiv);
    std::vector<float> expected;
    for (std::size_t j = 0; j < 3; ++j)
        for (std::size_t i = 0; i < 2; ++i) expected.push_back(rdiv[i * 3 + j] * 0.25f);
    EXPECT_EQ(grad_of(tape, x), expected);
}

TEST(AutogradEngine, ScalarDivMatchesForwardRounding) {
    Tape tape;
    NodeId x = leaf(tape);
    NodeId d = tape.push_node(std::make_unique<ScalarDivNode>(x, 3.0f));
    CpuStorage seed = make<f16>(D({2}), {5, 0.1f});
    ASSERT_TRUE(run_backward(tape, d, Storage(seed.copy())).ok());
    auto fwd = storage_ops::scalar_div(seed, 3.0f);
    ASSERT_TRUE(fwd.ok());
    EXPECT_EQ(grad_of(tape, x), values(*fwd));
}

TEST(AutogradEngine, FailedPassPublishesNothing) {
    Tape tape;
    Storage x(make(D({2}), {1, 2}));
    Storage h(make<f16>(D({2}), {1, 2}));
    NodeId xi = leaf(tape);
    NodeId ok_root = tape.push_node(std::make_unique<ScalarMulNode>(xi, 3.0f));
    ASSERT_TRUE(run_backward(tape, ok_root, Storage(storage_ops::ones_like(*x))).ok());
    // The failing root's first send succeeds (into the scalar node) before its
    // second computation fails: still nothing of the pass may be stored.
    NodeId hi = leaf(tape);
    NodeId bad = tape.push_node(std::make_unique<MulNode>(x, h, ok_root, hi));
    auto st = run_backward(tape, bad, Storage(storage_ops::ones_like(*x)));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind, ErrorKind::Type);
    EXPECT_EQ(grad_of(tape, xi), (std::vector<float>{3, 3}));
    EXPECT_EQ(grad_of(tape, ok_root), (std::vector<float>{1, 1}));
    EXPECT_EQ(grad_of(tape, bad), std::vector<float>{});
}

TEST(AutogradEngine, RefusesStaleAndForeignRoots) {
    Tape tape, other;
    NodeId x = leaf(tape);
    NodeId y = tape.push_node(std::make_unique<ScalarAddNode>(x));
    NodeId foreign = leaf(other);
    auto st = run_backward(tape, foreign, Storage(iota(D({1}))));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind, ErrorKind::Runtime);
    EXPECT_NE(st.error().message.find("another thread"), std::string::npos);

    tape.clear();
    leaf(tape);
    leaf(tape);  // the old index 1 exists again, under a new generation
    st = run_backward(tape, y, Storage(iota(D({1}))));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind, ErrorKind::Runtime);
    EXPECT_NE(st.error().message.find("cleared"), std::string::npos);
    EXPECT_FALSE(tape.get_grad(tape.id_at(1)));
}

TEST(AutogradEngine, MillionNodeChainRunsAndClears) {
    Tape tape;
    constexpr std::size_t kLength = 1'000'000;
    NodeId prev = leaf(tape);
    const NodeId x = prev;
    for (std::size_t i = 0; i < kLength; ++i)
        prev = tape.push_node(i % 2 ? std::unique_ptr<BackwardOp>(std::make_unique<ScalarMulNode>(prev, 1.0f))
                                    : std::unique_ptr<BackwardOp>(std::make_unique<ScalarSubNode>(prev)));
    ASSERT_TRUE(run_backward(tape, prev, Storage(make(D({2}), {0.5f, 2.0f}))).ok());
    EXPECT_EQ(grad_of(tape, x), (std::vector<float>{0.5f, 2.0f}));
    tape.clear();
    EXPECT_EQ(tape.size(), 0u);
    EXPECT_EQ(tape.grad_slots(), 0u);
}

}  // namespace
