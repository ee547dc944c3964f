#include "engine/cpu/numeric/backward/binary.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/convert.hpp"
#include "engine/cpu/formats.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::numeric::backward {

namespace {

template <class T>
NdArray<T> multiply(const NdView<T>& x, const NdView<T>& y) {
    return zip_collect<T>(x, y, [](const T* a, std::ptrdiff_t sa, const T* b, std::ptrdiff_t sb, T* out, std::size_t n) {
        simd::binary<T>(simd::BinaryOp::Mul, a, sa, b, sb, out, n);
    });
}

// True when r, the float32 product or quotient of the finite nonzero x and y,
// overflowed or lost bits to underflow. The gradient formulas keep their
// float32 intermediate steps (and bits) where none did, and otherwise go
// through float64, whose range holds every such step exactly.
bool left_range(float r, float x, float y) {
    return !std::isnormal(r) && std::isfinite(x) && std::isfinite(y) && x != 0.0f && y != 0.0f;
}

// The gradient formulas in float32, shared by every element type so that the
// 16-bit results are the float32 ones rounded once.
inline float div_rhs_grad(float gv, float av, float bv) {
    const float t = mul_left(-gv, av);
    const float u = bv * bv;
    float r = t / u;
    if (left_range(t, -gv, av) || left_range(u, bv, bv)) [[unlikely]]
        r = static_cast<float>(static_cast<double>(-gv) * av / (static_cast<double>(bv) * bv));
    return r;
}

inline float rdiv_grad(float gv, float xv, float s) {
    const float u = xv * xv;
    const float d = -s / u;
    float r = mul_left(gv, d);
    if (left_range(u, xv, xv) || left_range(d, -s, u)) [[unlikely]]
        r = static_cast<float>(static_cast<double>(gv) * (-static_cast<double>(s) / (static_cast<double>(xv) * xv)));
    return r;
}

// 16-bit operands go through float32 in blocks: the bulk conversions are
// vectorised (the scalar float16 one is long) and give the same bits.
inline constexpr std::size_t kBlock = 256;

template <class H>
void widen_block(const H* p, std::ptrdiff_t s, std::size_t n, float* dst) {
    if (s == 1) return simd::widen(p, dst, n);
    alignas(64) H tmp[kBlock];
    for (std::size_t i = 0; i < n; ++i) tmp[i] = p[static_cast<std::ptrdiff_t>(i) * s];
    simd::widen(tmp, dst, n);
}

// One axis of a reduction: extent, input stride, output stride (0: summed).
struct SumDim {
    std::size_t n;
    std::ptrdiff_t in, out;
};
using SumDims = SmallVec<SumDim, 6>;

// Calls f(input offset, output offset) at every index of `dims`.
template <class F>
void for_each_index(const SumDims& dims, F&& f) {
    for_each_offset<2>(
        dims.size(), [&](std::size_t d) { return dims[d].n; },
        [&](std::size_t k, std::size_t d) { return k == 0 ? dims[d].in : dims[d].out; },
        [&](const std::array<std::ptrdiff_t, 2>& at) { f(at[0], at[1]); });
}

// Innermost summed runs up to this long go column-wise instead of one call each.
inline constexpr std::size_t kShortRun = 16;

// out = the sum of `in` over the axes of `dims` (outermost first, in the
// input's memory order) whose output stride is 0. One summed axis goes per
// step, each with a pairwise sum, so the error grows like the log of the
// count; steps but the last write a float32 intermediate. The order of the
// additions follows shapes and strides only, never the instruction set.
template <class E>
void sum_dims(const E* in, const SumDims& dims, float* out) {
    std::size_t summed = 0, r = 0;
    for (std::size_t d = 0; d < dims.size(); ++d)
        if (dims[d].out == 0) ++summed, r = d;  // r: the innermost summed axis
    if (summed == 0) {
        for_each_index(dims, [&](std::ptrdiff_t i, std::ptrdiff_t o) { out[o] = 0.0f + to_f32(in[i]); });
        return;
    }
    // The other axes, written to `out` directly by the last step, else to a
    // dense intermediate in the same axis order.
    SumDims rest, next;
    std::size_t count = 1;
    for (std::size_t d = 0; d < dims.size(); ++d)
        if (d != r) rest.push_back(dims[d]), count *= dims[d].n;
    NdArray<float> part;
    float* dst = out;
    if (summed > 1) {
        part = NdArray<float>::uninit(Dims{count});
        dst = part.data();
        next = rest;
        std::ptrdiff_t stride = 1;
        for (std::size_t d = rest.size(); d-- > 0;) {
            next[d].in = stride;
            rest[d].out = stride;
            stride *= static_cast<std::ptrdiff_t>(rest[d].n);
        }
    }
    const SumDim& axis = dims[r];
    if (rest.empty() || (r + 1 == dims.size() && axis.n > kShortRun)) {
        // The summed axis is innermost: one run per output element.
        for_each_index(rest, [&](std::ptrdiff_t i, std::ptrdiff_t o) { dst[o] = simd::sum(in + i, axis.in, axis.n); });
    } else {
        // Whole rows of another axis at a time, summed column-wise (also for
        // short innermost runs, which would cost a call each). The columns are
        // the innermost other axis, unless it is short too and a longer one
        // saves calls.
        std::size_t c = rest.size() - 1;
        if (rest[c].n < kShortRun)
            for (std::size_t d = 0; d < rest.size(); ++d)
                if (rest[d].n > rest[c].n) c = d;
        const SumDim cols = rest[c];
        SumDims others;
        for (std::size_t d = 0; d < rest.size(); ++d)
            if (d != c) others.push_back(rest[d]);
        for_each_index(others, [&](std::ptrdiff_t i, std::ptrdiff_t o) {
            simd::sum_rows(in + i, axis.in, cols.in, axis.n, cols.n, dst + o, cols.out);
        });
    }
    if (summed > 1) sum_dims(static_cast<const float*>(part.data()), next, out);
}

// Block of float32 results into the output: rounded once, or kept in float32
// for a sum that follows.
template <class O>
void store_block(const float* src, O* dst, std::size_t n) {
    if constexpr (std::is_same_v<O, float>) {
        std::copy(src, src + n, dst);
    } else {
        simd::narrow(src, dst, n);
    }
}

// One run of an element-wise walk computed in float32: each f maps the I
// input values of an element, f(x0, ..., xI-1), to one result. Operands as
// zip_walk hands them: the outputs (of O, one per f) first, at unit stride,
// then the inputs (of T). 16-bit inputs are widened a block at a time and
// each result has a loop of its own there, which vectorises where its
// formula allows.
template <class O, class T, std::size_t I, std::size_t N, class... F>
void float_run(const std::array<char*, N>& p, const std::array<std::ptrdiff_t, N>& s, std::size_t n,
               const F&... f) {
    constexpr std::size_t M = sizeof...(F);
    static_assert(M + I == N);
    std::array<O*, M> out;
    std::array<const T*, I> in;
    std::array<std::ptrdiff_t, I> si;
    for (std::size_t j = 0; j < M; ++j) out[j] = reinterpret_cast<O*>(p[j]);
    for (std::size_t j = 0; j < I; ++j) in[j] = reinterpret_cast<const T*>(p[M + j]), si[j] = s[M + j];
    constexpr auto inputs = std::make_index_sequence<I>{};
    if constexpr (std::is_same_v<T, float>) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
            [&]<std::size_t... q>(std::index_sequence<q...>) {
                const float x[] = {in[q][k * si[q]]...};
                std::size_t j = 0;
                ((out[j++][k] = from_f32<O>(f(x[q]...))), ...);
            }(inputs);
        }
    } else {
        alignas(64) float fx[I][kBlock], fy[kBlock];
        for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
            const std::size_t m = std::min(kBlock, n - i0);
            const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i0);
            for (std::size_t j = 0; j < I; ++j) widen_block(in[j] + k * si[j], si[j], m, fx[j]);
            std::size_t j = 0;
            auto block = [&]<std::size_t... q>(const auto& fj, std::index_sequence<q...>) {
                for (std::size_t i = 0; i < m; ++i) fy[i] = fj(fx[q][i]...);
                store_block(fy, out[j++] + k, m);
            };
            (block(f, inputs), ...);
        }
    }
}

// One array of O (the element type, or float32 for results summed next) per
// f, new in `order`, from views of T of `shape`: element by element, each f
// maps the inputs' float32 values to its result (float_run).
template <class O, class T, std::size_t I, class... F>
std::array<NdArray<O>, sizeof...(F)> map_f32(const Dims& shape, Order order, const NdView<T>* const (&in)[I],
                                             const F&... f) {
    constexpr std::size_t M = sizeof...(F);
    std::array<NdArray<O>, M> out;
    std::array<Operand, M + I> ops;
    for (std::size_t j = 0; j < M; ++j) out[j] = NdArray<O>::uninit(shape, order), ops[j] = operand(out[j]);
    for (std::size_t j = 0; j < I; ++j) ops[M + j] = operand(*in[j]);
    zip_walk<M>(shape, ops, [&](const auto& p, const auto& s, std::size_t n) { float_run<O, T, I>(p, s, n, f...); });
    return out;
}

// x * y in float32 in their common shape: exact for 16-bit operands, whose
// products a 16-bit result would round.
template <class T>
NdArray<float> product_f32(const NdView<T>& x, const NdView<T>& y) {
    return zip_collect<float>(x, y, [](const T* a, std::ptrdiff_t sa, const T* b, std::ptrdiff_t sb, float* out,
                                       std::size_t n) {
        if constexpr (std::is_same_v<T, float>) {
            simd::binary<float>(simd::BinaryOp::Mul, a, sa, b, sb, out, n);
        } else {
            // Widened straight into the output and multiplied in place: half
            // the block traffic of map_f32, which this short formula feels.
            alignas(64) float fb[kBlock];
            for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
                const std::size_t m = std::min(kBlock, n - i0);
                const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i0);
                widen_block(a + k * sa, sa, m, out + i0);
                widen_block(b + k * sb, sb, m, fb);
                for (std::size_t i = 0; i < m; ++i) out[i0 + i] = mul_left(out[i0 + i], fb[i]);
            }
        }
    });
}

// A float32 gradient rounded once to T after its sum to `shape` (if any).
template <class T>
Result<NdArray<T>> narrowed_to(NdArray<float>&& g, std::span<const std::size_t> shape) {
    if (g.shape() == Dims(shape.data(), shape.size())) return narrow_array<T>(std::move(g));
    VORKA_TRY(NdArray<float> s, sum_to_shape_f32(g.view(), shape));
    return narrow_array<T>(std::move(s));
}

// x * y (already broadcast against each other) summed to `shape`.
template <class T>
Result<NdArray<T>> product_to(const NdView<T>& x, const NdView<T>& y, std::span<const std::size_t> shape) {
    if (x.shape == Dims(shape.data(), shape.size())) return multiply(x, y);
    return narrowed_to<T>(product_f32(x, y), shape);
}

// The element formulas of a two-operand gradient, in float32:
//   lhs(g, a, b), rhs(g, a, b): the gradients of a and b at one element;
//   lhs_reads_a: whether lhs uses a (when not, a is not read for it alone).
struct DivGrad {
    static constexpr bool lhs_reads_a = false;
    static float lhs(float g, float, float b) { return g / b; }
    static float rhs(float g, float a, float b) { return div_rhs_grad(g, a, b); }
};

// The wanted gradients of Grad from three views of `shape` (the incoming
// gradient and both operands, broadcast), as new standard-layout arrays of O:
// the element type, or float32 for gradients that are summed next.
template <class Grad, class O, class T>
GradPair<O> formula_grads(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, const Dims& shape,
                          Needs wanted) {
    auto lhs = [](float g, float a, float b) { return Grad::lhs(g, a, b); };
    auto rhs = [](float g, float a, float b) { return Grad::rhs(g, a, b); };
    GradPair<O> out;
    if (wanted.lhs && wanted.rhs) {
        auto both = map_f32<O>(shape, Order::C, {&g, &a, &b}, lhs, rhs);
        out.lhs = std::move(both[0]), out.rhs = std::move(both[1]);
    } else if (wanted.rhs) {
        out.rhs = std::move(map_f32<O>(shape, Order::C, {&g, &a, &b}, rhs)[0]);
    } else if (wanted.lhs && Grad::lhs_reads_a) {
        out.lhs = std::move(map_f32<O>(shape, Order::C, {&g, &a, &b}, lhs)[0]);
    } else if (wanted.lhs) {  // a is not read
        auto lhs_gb = [](float g, float b) { return Grad::lhs(g, 0.0f, b); };
        out.lhs = std::move(map_f32<O>(shape, Order::C, {&g, &b}, lhs_gb)[0]);
    }
    return out;
}

// The pair of gradients of a two-operand row from its element formulas: each
// computed in float32 where the operands broadcast to, summed in float32 to
// its operand's shape where it was broadcast, and rounded once.
template <class Grad, class T>
Result<GradPair<T>> formula_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted) {
    VORKA_TRY(auto ga, kernels::broadcast_tensors(g, a));
    BroadcastShape target = broadcast_shapes(ga.a.shape, b.shape);
    if (!target.ok()) return Error::runtime(std::move(target.error));
    auto vg = ga.a.broadcast(target.shape);
    auto va = ga.b.broadcast(target.shape);
    if (!vg || !va) return Error::panic(broadcast_failed_text("A", ga.a.shape, target.shape));
    auto vb = b.broadcast(target.shape);
    if (!vb) return Error::runtime(broadcast_failed_text("RHS", b.shape, target.shape));
    const bool sum_l = wanted.lhs && !(target.shape == a.shape), sum_r = wanted.rhs && !(target.shape == b.shape);
    if (!sum_l && !sum_r) return formula_grads<Grad, T>(*vg, *va, *vb, target.shape, wanted);
    GradPair<float> wide = formula_grads<Grad, float>(*vg, *va, *vb, target.shape, wanted);
    GradPair<T> out;
    if (wanted.lhs) {
        VORKA_TRY(out.lhs, narrowed_to<T>(std::move(wide.lhs), a.shape));
    }
    if (wanted.rhs) {
        VORKA_TRY(out.rhs, narrowed_to<T>(std::move(wide.rhs), b.shape));
    }
    return out;
}

}  // namespace

template <class T>
Result<GradPair<T>> mul_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted) {
    VORKA_TRY(auto gb, kernels::broadcast_tensors(g, b));
    VORKA_TRY(auto ga, kernels::broadcast_tensors(g, a));
    NdArray<T> gl, gr;
    if (wanted.lhs) {
        VORKA_TRY(gl, product_to(gb.a, gb.b, a.shape));
    }
    if (wanted.rhs) {
        VORKA_TRY(gr, product_to(ga.a, ga.b, b.shape));
    }
    return GradPair<T>{std::move(gl), std::move(gr)};
}

template <class T>
Result<GradPair<T>> div_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted) {
    return formula_backward<DivGrad>(g, a, b, wanted);
}

template <class T>
Result<NdArray<T>> rdiv_backward(const NdView<T>& g, const NdView<T>& x, float number) {
    if (!(g.shape == x.shape)) return Error::runtime(shape_mismatch_text("rdiv_backward", g.shape, "input", x.shape));
    const float s = round_to<T>(number);  // the dividend as the forward division used it
    auto f = [s](float g, float x) { return rdiv_grad(g, x, s); };
    return std::move(map_f32<T>(g.shape, zip_order(g, x), {&g, &x}, f)[0]);
}

template <class T>
Result<NdArray<float>> sum_to_shape_f32(const NdView<T>& g, std::span<const std::size_t> target) {
    auto refused = [&] {
        return Error::runtime("Cannot reduce a gradient of shape " + shape_text(g.shape) + " to " + shape_text(target));
    };
    const Dims shape(target.data(), target.size());
    // The accumulator (standard layout) seen in g's shape: reduced axes get
    // stride 0; nothing when `target` does not broadcast to g's shape.
    const auto spread = broadcast_strides(shape, default_strides(shape), g.shape);
    if (!spread) return refused();
    if (g.size() == 0) return NdArray<float>::from_elem(shape, 0.0f);
    NdArray<float> acc = NdArray<float>::uninit(shape);
    // Ordered by g's strides, so g is read in memory order.
    auto plan = plan_loop<2>(g.shape, {std::span<const std::ptrdiff_t>(g.strides),
                                        std::span<const std::ptrdiff_t>(*spread)});
    SumDims dims;
    for (std::size_t d = 0; d < plan.extents.size(); ++d)
        dims.push_back({plan.extents[d], plan.strides[0][d], plan.strides[1][d]});
    sum_dims(g.ptr, dims, acc.data());
    return acc;
}

template <class T>
Result<NdArray<T>> sum_to_shape(const NdView<T>& g, std::span<const std::size_t> target) {
    VORKA_TRY(NdArray<float> acc, sum_to_shape_f32(g, target));
    return narrow_array<T>(std::move(acc));
}

#define VORKA_INSTANTIATE_PAIR(T, name) \
    template Result<GradPair<T>> name##_backward<T>(const NdView<T>&, const NdView<T>&, const NdView<T>&, Needs);
#define VORKA_INSTANTIATE_PAIR_ROW(name, lane, node, gradient, ...) \
    VORKA_IF_##gradient(VORKA_FOR_FLOAT_TYPES(VORKA_INSTANTIATE_PAIR, name))
VORKA_ARITHMETIC_OPS(VORKA_INSTANTIATE_PAIR_ROW)
#undef VORKA_INSTANTIATE_PAIR_ROW
#undef VORKA_INSTANTIATE_PAIR

#define VORKA_INSTANTIATE_NUMBER(T, kernel) \
    template Result<NdArray<T>> kernel##_backward<T>(const NdView<T>&, const NdView<T>&, float);
#define VORKA_INSTANTIATE_NUMBER_ROW(name, lane, functor, reflected, number, word, node, gradient, kernel) \
    VORKA_IF_##gradient(VORKA_FOR_FLOAT_TYPES(VORKA_INSTANTIATE_NUMBER, kernel))
VORKA_NUMBER_OPS(VORKA_INSTANTIATE_NUMBER_ROW)
#undef VORKA_INSTANTIATE_NUMBER_ROW
#undef VORKA_INSTANTIATE_NUMBER

#define VORKA_INSTANTIATE(T)                                                                             \
    template Result<NdArray<float>> sum_to_shape_f32<T>(const NdView<T>&, std::span<const std::size_t>); \
    template Result<NdArray<T>> sum_to_shape<T>(const NdView<T>&, std::span<const std::size_t>);
VORKA_FLOAT_TYPES(VORKA_INSTANTIATE)
#undef VORKA_INSTANTIATE

}  // namespace vorka::numeric::backward
