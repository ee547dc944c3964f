// What the Python suite cannot see of the backward pass: the gradient store,
// sums back to a shape, the gradient kernels' errors and bits on every
// instruction set, the pass on a private tape.
// Checked container access: a read past a store's slots aborts here instead
// of returning whatever the allocator left there.
#define _GLIBCXX_ASSERTIONS 1
#include <gtest/gtest.h>

#include <array>

#include "autograd/context.hpp"
#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "autograd/ops.hpp"
#include "common.hpp"
#include "engine/cpu/storage/backward.hpp"
#include "engine/cpu/storage/numeric.hpp"
#include "engine/cpu/storage/shape.hpp"
#include "strided/iter.hpp"

using namespace vorka;
using vorka::test::on_every_isa;

namespace {

using F = std::vector<float>;
Dims D(std::initializer_list<std::size_t> v) { return Dims(v); }

template <class T = float>
CpuStorage make(Dims shape, const F& values) {
    std::vector<T> v;
    for (float x : values) v.push_back(from_f32<T>(x));
    return CpuStorage(NdArray<T>::from_shape_vec(std::move(shape), v.data(), v.size()).value());
}

CpuStorage iota(Dims shape, float start = 1.0f) {
    F v(checked_size(shape).value());
    std::iota(v.begin(), v.end(), start);
    return make(std::move(shape), v);
}

// Elements in logical (row-major) order, as float32 values or as bits.
template <bool Bits = false>
auto elements(const CpuStorage& s) {
    return s.visit([&](const auto& a) {
        std::vector<std::conditional_t<Bits, uint32_t, float>> out;
        const auto std_arr = vorka::to_standard_layout(a.view());
        for (std::size_t i = 0; i < std_arr.size(); ++i)
            if constexpr (Bits) out.push_back(vorka::test::bits_of(std_arr.data()[i]));
            else if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(*a.data())>, bool>)
                out.push_back(to_f32(std_arr.data()[i]));
        return out;
    });
}
F values(const CpuStorage& s) { return elements(s); }
std::vector<uint32_t> bits(const CpuStorage& s) { return elements<true>(s); }

template <class R>
void expect_error(const R& r, ErrorKind kind, const std::string& message = "") {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, kind);
    EXPECT_TRUE(message.empty() || r.error().message == message) << r.error().message;
}

TEST(GradStore, AccumulateMovesThenSumsInFloat32AndGrows) {
    GradStore grads(2);
    Storage g(iota(D({3})));
    ASSERT_TRUE(grads.accumulate(std::size_t{1}, g).ok());
    EXPECT_TRUE(grads.get(1)->same(g)) << "an empty slot takes the gradient itself";
    ASSERT_TRUE(grads.accumulate(std::size_t{1}, Storage(iota(D({3}), 10.0f))).ok());
    EXPECT_EQ(values(**grads.get(1)), (F{11, 13, 15}));
    ASSERT_TRUE(grads.accumulate(std::size_t{5}, Storage(iota(D({1})))).ok());
    EXPECT_EQ(grads.size(), 6u);
    EXPECT_EQ(grads.get(4), nullptr);
    EXPECT_TRUE(grads.take(5));
    EXPECT_EQ(grads.get(5), nullptr);
    EXPECT_EQ(grads.get(6), nullptr);  // one past the last slot
    // float16 steps would stop at 2048; the float32 sum rounds once per result.
    ASSERT_TRUE(grads.accumulate(std::size_t{0}, Storage(make<f16>(D({1}), {2048}))).ok());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(grads.accumulate(std::size_t{0}, Storage(make<f16>(D({1}), {1}))).ok());
    EXPECT_EQ(values(**grads.get(0)), F{2050});
    // A failed sum leaves the slot as it was.
    const Storage before = *grads.get(0);
    expect_error(grads.accumulate(std::size_t{0}, Storage(iota(D({1})))), ErrorKind::Value);
    EXPECT_TRUE(grads.get(0)->same(before));
}

// The thread's tape has one user at a time; a nested borrow is refused, and the tape is free again after.
TEST(TapeGuard, OneBorrowAtATime) {
    {
        auto first = TapeGuard::acquire();
        ASSERT_TRUE(first.ok());
        expect_error(TapeGuard::acquire(), ErrorKind::Panic, "the autograd tape is already in use on this thread");
    }
    EXPECT_TRUE(TapeGuard::acquire().ok());
}

TEST(SumToShape, SumsAddedAndStretchedAxes) {
    const std::tuple<Dims, Dims, F> cases[] = {  // from, to, the sums of iota(from)
        {D({2, 3}), D({3}), {5, 7, 9}}, {D({2, 3}), D({2, 1}), {6, 15}}, {D({2, 3}), D({1, 3}), {5, 7, 9}},
        {D({2, 3}), D({}), {21}},       {D({2, 2, 2}), D({2, 1, 2}), {4, 6, 12, 14}},
        {D({2, 3, 2}), D({3, 1}), {1 + 2 + 7 + 8, 3 + 4 + 9 + 10, 5 + 6 + 11 + 12}},
        {D({0, 3}), D({1, 3}), {0, 0, 0}}, {D({4}), D({4}), {1, 2, 3, 4}}};
    for (const auto& [from, to, expected] : cases) {
        auto r = storage_ops::sum_to_shape(iota(from), to);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r->shape(), to);
        EXPECT_EQ(values(*r), expected) << shape_text(from) << " -> " << shape_text(to);
    }
    for (Dims from : {D({2, 3}), D({0, 3})})
        for (Dims to : {D({2}), D({4, 2, 3}), D({3, 3}), D({2, 3, 1})})
            expect_error(storage_ops::sum_to_shape(iota(from, 0), to), ErrorKind::Runtime);
}

// float16 division gradients: the float32 ones of the widened operands, rounded
// once, on every instruction set, for NaN, inf and subnormal operands, lengths
// around the vector widths and conversion blocks, broadcast and strided.
TEST(GradientKernels, HalfDivisionIsFloat32RoundedOnEveryIsa) {
    std::mt19937 rng(5);
    auto narrowed = [](const CpuStorage& s) { return bits(make<f16>(s.shape(), values(s))); };
    auto half = [](Dims shape, const f16* p) {
        return CpuStorage(NdArray<f16>::from_shape_vec(shape, p, checked_size(shape).value()).value());
    };
    auto w = [](const CpuStorage& s) { return storage_ops::widen_f32(s).value(); };
    for (std::size_t n : {1, 7, 8, 9, 15, 16, 17, 33, 255, 256, 257, 700}) {
        std::vector<f16> h(3 * n);
        for (f16& x : h)
            x = rng() % 3 ? f32_to_f16(std::uniform_real_distribution<float>(-4, 4)(rng)) : f16{uint16_t(rng())};
        const std::array<uint16_t, 8> specials{0x0001, 0x8200, 0x7C00, 0xFC00, 0x7E01, 0x7C01, 0x0000, 0x03FF};
        for (std::size_t k = 0; k < 8 && k < n; ++k) h[n + k] = f16{specials[k]};
        const CpuStorage g = half(D({n}), h.data()), a = half(D({n}), h.data() + n);
        const CpuStorage b = storage_ops::transpose(half(D({n, 2}), h.data() + n), 0, 1).value();  // strided rows
        const CpuStorage bias = half(D({1, 1}), h.data() + 2 * n);
        const auto want = storage_ops::backward_div(w(a), w(g), w(b), {}).value();
        const auto want_bias = storage_ops::backward_div(w(b), w(bias), w(bias), {}).value();
        const auto want_rdiv = storage_ops::backward_rdiv(w(a), w(g), -3.0f).value();
        SCOPED_TRACE("n=" + std::to_string(n));
        on_every_isa([&] {
            const auto got = storage_ops::backward_div(a, g, b, {}).value();
            EXPECT_EQ(bits(*got.lhs), narrowed(*want.lhs));
            EXPECT_EQ(bits(*got.rhs), narrowed(*want.rhs));
            const auto got_bias = storage_ops::backward_div(b, bias, bias, {false, true}).value();
            EXPECT_FALSE(got_bias.lhs);
            EXPECT_EQ(bits(*got_bias.rhs), narrowed(*want_bias.rhs));
            EXPECT_EQ(bits(storage_ops::backward_rdiv(a, g, -3.0f).value()), narrowed(want_rdiv));
        });
    }
}

TEST(GradientKernels, TypeAndShapeErrors) {
    const std::string binary = "DType mismatch between gradient and operands during backward pass.";
    const std::string unary = "DType mismatch between gradient and input during unary backward pass.";
    auto f = make(D({2}), {1, 2}), h = make<f16>(D({2}), {1, 2});
    auto b = CpuStorage(NdArray<bool>::from_elem(D({2}), true));
#define KERNEL_GRADIENT(name, lane, node, gradient, ...) VORKA_IF_##gradient(&storage_ops::backward_##name, )
    for (auto* op : {VORKA_ARITHMETIC_OPS(KERNEL_GRADIENT) & storage_ops::backward_matmul})
#undef KERNEL_GRADIENT
        for (auto [l, g, r] : {std::tuple{&f, &f, &h}, std::tuple{&h, &f, &f}, std::tuple{&b, &b, &b}})
            expect_error(op(*l, *g, *r, {}), ErrorKind::Type, binary);
    expect_error(storage_ops::backward_relu(h, f), ErrorKind::Type, unary);
    expect_error(storage_ops::backward_relu(b, b), ErrorKind::Type, unary);
    expect_error(storage_ops::backward_rdiv(h, f, 1.0f), ErrorKind::Type, unary);
    expect_error(storage_ops::backward_relu(iota(D({3})), iota(D({2, 3}))), ErrorKind::Runtime,
                 "Shape mismatch in relu_backward: grad [2, 3] vs input [3]");
    expect_error(storage_ops::backward_matmul(iota(D({3})), iota(D({3, 4})), iota(D({3, 4})), {}), ErrorKind::Runtime,
                 "Matmul requires at least 2D tensors. A: 1D, B: 2D");
}

NodeId leaf(Tape& tape) { return tape.push_node(nullptr); }
F grad_of(const Tape& tape, const NodeId& id) {
    const Storage* g = tape.grad_slot(id);
    return g ? values(**g) : F{};
}

// Subtraction negates the right side's gradient, summed back to its shape; a node
// the root does not reach keeps its gradient; a failed pass publishes nothing,
// though the failing root's first send (into the scalar node) succeeded.
TEST(Backward, SubtractionUnreachedNodesAndFailedPass) {
    Tape tape;
    NodeId x = leaf(tape), c = leaf(tape);
    NodeId s = tape.push_node(std::make_unique<SubNode>(x, c, D({3}), D({2, 1})));
    ASSERT_TRUE(run_backward(tape, s, Storage(iota(D({2, 3})))).ok());
    EXPECT_EQ(grad_of(tape, x), (F{5, 7, 9}));
    EXPECT_EQ(grad_of(tape, c), (F{-6, -15}));
    NodeId y = tape.push_node(std::make_unique<ScalarMulNode>(x, 2.0f));
    ASSERT_TRUE(run_backward(tape, y, Storage(make(D({3}), {1, 1, 1}))).ok());
    EXPECT_EQ(grad_of(tape, x), (F{2, 2, 2}));
    EXPECT_EQ(grad_of(tape, c), (F{-6, -15}));
    Storage f(make(D({3}), {1, 2, 3})), h(make<f16>(D({3}), {1, 2, 3}));
    NodeId bad = tape.push_node(std::make_unique<MulNode>(f, h, y, leaf(tape)));
    expect_error(run_backward(tape, bad, Storage(storage_ops::ones_like(*f))), ErrorKind::Type);
    NodeId bad_relu = tape.push_node(std::make_unique<ReluNode>(h, y));  // a one-input gradient that fails
    expect_error(run_backward(tape, bad_relu, Storage(storage_ops::ones_like(*f))), ErrorKind::Type);
    EXPECT_EQ(grad_of(tape, x), (F{2, 2, 2}));
    EXPECT_EQ(grad_of(tape, y), (F{1, 1, 1}));
    EXPECT_EQ(grad_of(tape, bad), F{});
}

// A leaf pushed for a constant operand receives nothing; the other side's
// gradient is the one a node wanting both would send.
template <class N>
std::unique_ptr<BackwardOp> shaped(const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) {
    return std::make_unique<N>(l, r, x->shape(), y->shape(), n);
}
template <class N>
std::unique_ptr<BackwardOp> saving(const Storage& x, const Storage& y, NodeId l, NodeId r, Needs n) {
    return std::make_unique<N>(x, y, l, r, n);
}

TEST(Backward, ConstantOperandLeafGetsNoGradient) {
    Storage a(iota(D({2, 1, 3}))), b(iota(D({4, 3}), 2.0f)), ma(iota(D({2, 2, 3}))), mb(iota(D({3, 5})));
    using Make = std::unique_ptr<BackwardOp> (*)(const Storage&, const Storage&, NodeId, NodeId, Needs);
    const std::pair<std::string, Make> kinds[] = {{"add", shaped<AddNode>},  {"sub", shaped<SubNode>},
                                                  {"mul", saving<MulNode>},  {"div", saving<DivNode>},
                                                  {"matmul", saving<MatmulNode>}};
    for (const auto& [name, make_node] : kinds) {
        const bool mm = name == "matmul";
        const Storage &x = mm ? ma : a, &y = mm ? mb : b;
        F full[2];
        for (int constant = -1; constant < 2; ++constant) {
            Tape tape;
            const NodeId ids[2] = {leaf(tape), leaf(tape)};
            NodeId root = tape.push_node(make_node(x, y, ids[0], ids[1], Needs{constant != 0, constant != 1}));
            ASSERT_TRUE(run_backward(tape, root, Storage(iota(mm ? D({2, 2, 5}) : D({2, 4, 3}), 0.5f))).ok()) << name;
            for (int side = 0; side < 2; ++side) {
                if (constant < 0)
                    full[side] = grad_of(tape, ids[side]);
                else if (side == constant)
                    EXPECT_FALSE(tape.grad_slot(ids[side])) << name << " computed a gradient nobody can read";
                else
                    EXPECT_EQ(grad_of(tape, ids[side]), full[side]) << name << " side " << side;
            }
        }
        EXPECT_FALSE(full[0].empty() || full[1].empty()) << name;
    }
}

}  // namespace
