#include "engine/cpu/numeric/backward/matmul.hpp"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/convert.hpp"
#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "strided/iter.hpp"

namespace vorka::numeric::backward {

namespace {

Dims join(std::span<const std::size_t> batch, std::size_t r, std::size_t c) {
    Dims d(batch.data(), batch.size());
    d.push_back(r);
    d.push_back(c);
    return d;
}

// One matrix per batch entry: c[t] = x[t] @ y[t] for every batch index t, with
// x: batch ++ [m, p], y: batch ++ [p, n] (strided, possibly zero batch strides)
// and c a standard-layout array of shape batch ++ [m, n].
void batched_gemm(const NdView<float>& x, const NdView<float>& y, NdArray<float>& c) {
    const std::size_t r = c.ndim();
    const std::size_t m = c.shape()[r - 2], n = c.shape()[r - 1], p = x.shape[r - 1];
    const std::size_t nb = r - 2;
    float* cp = c.data();
    const Strides& cs = c.strides();
    if (nb == 0) {
        gemm::sgemm({1, m, n, p, {x.ptr, 0, x.strides[0], x.strides[1]}, {y.ptr, 0, y.strides[0], y.strides[1]},
                     {cp, 0, cs[0], cs[1]}});
        return;
    }
    // The last batch axis goes to one batched call; an odometer walks the rest.
    const std::size_t last = nb - 1;
    for (std::size_t e : c.shape())
        if (e == 0) return;
    for_each_offset<3>(std::span(c.shape().data(), last), {std::span<const std::ptrdiff_t>(x.strides),
                                                            std::span<const std::ptrdiff_t>(y.strides),
                                                            std::span<const std::ptrdiff_t>(cs)},
                       [&](const std::array<std::ptrdiff_t, 3>& o) {
                           gemm::sgemm({c.shape()[last], m, n, p,
                                        {x.ptr + o[0], x.strides[last], x.strides[r - 2], x.strides[r - 1]},
                                        {y.ptr + o[1], y.strides[last], y.strides[r - 2], y.strides[r - 1]},
                                        {cp + o[2], cs[last], cs[r - 2], cs[r - 1]}});
                       });
}

// The last two axes swapped (a view; no element moves).
template <class T>
NdView<T> transposed(NdView<T> v) {
    const std::size_t r = v.ndim();
    std::swap(v.shape[r - 2], v.shape[r - 1]);
    std::swap(v.strides[r - 2], v.strides[r - 1]);
    return v;
}

// Stride of the single row axis that the batch axes and the row axis of `v`
// form together, when they do (then v is one tall matrix).
template <class T>
std::optional<std::ptrdiff_t> tall_row_stride(const NdView<T>& v) {
    const std::size_t r = v.ndim();
    std::ptrdiff_t stride = v.strides[r - 2];
    std::size_t extent = v.shape[r - 2];
    for (std::size_t d = r - 2; d-- > 0;) {
        if (v.shape[d] == 1) continue;
        if (extent != 1 && v.strides[d] != stride * static_cast<std::ptrdiff_t>(extent)) return std::nullopt;
        if (extent == 1) stride = v.strides[d];
        extent *= v.shape[d];
    }
    return stride;
}

std::size_t product(std::span<const std::size_t> s) {
    std::size_t n = 1;
    for (auto e : s) n *= e;
    return n;
}

// x^T @ y over the merged rows, for x: batch ++ [q, m], y: batch ++ [q, n]
// that both flatten to tall matrices: the batch sum becomes the inner sum.
std::optional<NdArray<float>> tall_inner_product(const NdView<float>& x, const NdView<float>& y, Dims out_shape) {
    auto rx = tall_row_stride(x);
    auto ry = tall_row_stride(y);
    if (!rx || !ry) return std::nullopt;
    const std::size_t r = x.ndim();
    const std::size_t rows = product(std::span(x.shape.data(), r - 1));
    const std::size_t m = x.shape[r - 1], n = y.shape[r - 1];
    NdArray<float> out = NdArray<float>::uninit(std::move(out_shape));
    const Strides& os = out.strides();
    const std::size_t ro = out.ndim();
    gemm::sgemm({1, m, n, rows, {x.ptr, 0, x.strides[r - 1], *rx}, {y.ptr, 0, *ry, y.strides[r - 1]},
                 {out.data(), 0, ro >= 2 ? os[ro - 2] : static_cast<std::ptrdiff_t>(n), ro >= 1 ? os[ro - 1] : 1}});
    return out;
}

bool all_ones(std::span<const std::size_t> s) {
    for (auto e : s)
        if (e != 1) return false;
    return true;
}

// A view that carries only a shape, for an operand whose values are not needed.
template <class T>
NdView<float> shape_only(const NdView<T>& v) {
    return NdView<float>{nullptr, v.shape, v.strides};
}

Result<GradPair<float>> matmul_backward_f32(const NdView<float>& g, const NdView<float>& a, const NdView<float>& b,
                                            Needs wanted) {
    VORKA_TRY(kernels::MatmulShapes s, kernels::matmul_shapes(a.shape, b.shape));
    const std::size_t m = s.m, k = s.k, n = s.n;
    const std::span<const std::size_t> batch_b(b.shape.data(), b.ndim() - 2);
    const Dims out_shape = join(s.batch, m, n);
    if (!(g.shape == out_shape))
        return Error::runtime(shape_mismatch_text("matmul_backward", g.shape, "output", out_shape));
    VORKA_TRY(NdView<float> va, kernels::broadcast_operand(a, join(s.batch, m, k), "A"));
    VORKA_TRY(NdView<float> vb, kernels::broadcast_operand(b, join(s.batch, k, n), "B"));

    // gl = g @ b^T, then summed over a's broadcast batch axes.
    NdArray<float> gl, gr;
    if (wanted.lhs) {
        NdArray<float> gl_full = NdArray<float>::uninit(join(s.batch, m, k));
        batched_gemm(g, transposed(vb), gl_full);
        if (gl_full.shape() == a.shape) {
            gl = std::move(gl_full);
        } else {
            VORKA_TRY(gl, sum_to_shape_f32(gl_full.view(), a.shape));
        }
    }
    if (!wanted.rhs) return GradPair<float>{std::move(gl), std::move(gr)};

    // gr = a^T @ g. When b has no batch of its own, the batch sum is part of
    // one product over the stacked rows of a and g.
    std::optional<NdArray<float>> tall;
    if (!s.batch.empty() && all_ones(batch_b)) tall = tall_inner_product(va, g, Dims(b.shape));
    if (tall) {
        gr = std::move(*tall);
    } else {
        NdArray<float> gr_full = NdArray<float>::uninit(join(s.batch, k, n));
        batched_gemm(transposed(va), g, gr_full);
        if (gr_full.shape() == b.shape) {
            gr = std::move(gr_full);
        } else {
            VORKA_TRY(gr, sum_to_shape_f32(gr_full.view(), b.shape));
        }
    }
    return GradPair<float>{std::move(gl), std::move(gr)};
}

// The 16-bit gradients through float32 arithmetic on widened operands.
template <class T>
Result<GradPair<T>> widened_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted);

// out, completed with the gradients in rest (those no kernel produced) by widening.
template <class T>
Result<GradPair<T>> widen_rest(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs rest,
                               GradPair<T> out) {
    if (rest.lhs || rest.rhs) {
        VORKA_TRY(GradPair<T> r, widened_backward(g, a, b, rest));
        if (rest.lhs) out.lhs = std::move(r.lhs);
        if (rest.rhs) out.rhs = std::move(r.rhs);
    }
    return out;
}

// x @ y of two 16-bit matrices (rows x inner, inner x cols views) with the
// packed 16-bit kernels, float32 sums rounded once: bfloat16 with its
// dot-product instructions, float16 widened while packed. false when the
// product is too small to pay for packing, the CPU lacks the kernel, or (for
// bfloat16) values could make products the instructions flush (see
// gemm::bf16_gemm).
template <class T>
bool packed_product_2d(const NdView<T>& x, const NdView<T>& y, std::size_t rows, std::size_t inner,
                       std::size_t cols, std::ptrdiff_t xrs, std::ptrdiff_t xcs, std::ptrdiff_t yrs,
                       std::ptrdiff_t ycs, NdArray<T>& out) {
    const double work = static_cast<double>(rows) * static_cast<double>(cols) * static_cast<double>(inner);
    const std::ptrdiff_t ld = static_cast<std::ptrdiff_t>(cols);
    if constexpr (std::is_same_v<T, bf16>) {
        if (!gemm::bf16_packing_pays(work, rows, cols, inner)) return false;
        NdArray<bf16> r = NdArray<bf16>::uninit(Dims{rows, cols}, Order::C);
        if (!gemm::bf16_gemm({1, rows, cols, inner, {x.ptr, 0, xrs, xcs}, {y.ptr, 0, yrs, ycs}, {nullptr, 0, ld, 1},
                              r.data()}))
            return false;
        out = std::move(r);
    } else if constexpr (std::is_same_v<T, f16>) {
        if (!gemm::f16_packing_pays(work, rows, cols, inner)) return false;
        NdArray<f16> h = NdArray<f16>::uninit(Dims{rows, cols}, Order::C);
        if (gemm::f16_gemm({1, rows, cols, inner, {x.ptr, 0, xrs, xcs}, {y.ptr, 0, yrs, ycs}, {nullptr, 0, ld, 1},
                            h.data()})) {
            out = std::move(h);  // rounded as stored
            return true;
        }
        NdArray<float> r = NdArray<float>::uninit(Dims{rows, cols}, Order::C);
        if (!gemm::f16_gemm({1, rows, cols, inner, {x.ptr, 0, xrs, xcs}, {y.ptr, 0, yrs, ycs}, {r.data(), 0, ld, 1}}))
            return false;
        out = narrow_array<T>(std::move(r));
    } else {
        return false;  // no packed kernel for this type
    }
    return true;
}

// Plain 16-bit matrices: g @ b^T and a^T @ g straight from the operands, the
// rest (small products, no kernel, out-of-range bfloat16 values) widened.
// Nothing when the shapes do not fit, so the general path reports the error.
template <class T>
std::optional<Result<GradPair<T>>> packed_backward_2d(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b,
                                                      Needs wanted) {
    if (a.ndim() != 2 || b.ndim() != 2 || g.ndim() != 2) return std::nullopt;
    if (std::is_same_v<T, bf16> && !gemm::bf16_products_supported()) return std::nullopt;
    const std::size_t m = a.shape[0], k = a.shape[1], n = b.shape[1];
    if (b.shape[0] != k || g.shape[0] != m || g.shape[1] != n) return std::nullopt;
    GradPair<T> out;
    Needs rest{false, false};
    if (wanted.lhs)
        rest.lhs = !packed_product_2d(g, b, m, n, k, g.strides[0], g.strides[1], b.strides[1], b.strides[0], out.lhs);
    if (wanted.rhs)
        rest.rhs = !packed_product_2d(a, g, k, m, n, a.strides[1], a.strides[0], g.strides[0], g.strides[1], out.rhs);
    return widen_rest(g, a, b, rest, std::move(out));
}

// x @ y for x: batch ++ [m, p], y: batch ++ [p, n] (strided, possibly zero
// batch strides) into a new standard-layout float16 array, with the float16
// kernel (float32 sums rounded once): straight to float16 when p fits one
// block of the kernel, else through float32. Nothing when the CPU lacks the
// kernel.
std::optional<NdArray<f16>> half_product(const NdView<f16>& x, const NdView<f16>& y, const Dims& shape) {
    const std::size_t r = shape.size(), nb = r - 2;
    const std::size_t m = shape[r - 2], n = shape[r - 1], p = x.shape[r - 1];
    auto each = [&](auto& c) {
        using C = std::remove_reference_t<decltype(*c.data())>;
        const Strides& cs = c.strides();
        const std::size_t last = nb == 0 ? 0 : nb - 1, count = nb == 0 ? 1 : shape[last];
        const std::ptrdiff_t bx = nb ? x.strides[last] : 0, by = nb ? y.strides[last] : 0, bc = nb ? cs[last] : 0;
        return for_each_offset<3>(
            std::span(shape.data(), last),
            {std::span<const std::ptrdiff_t>(x.strides), std::span<const std::ptrdiff_t>(y.strides),
             std::span<const std::ptrdiff_t>(cs)},
            [&](const std::array<std::ptrdiff_t, 3>& o) {
                C* out = c.data() + o[2];
                gemm::Product<f16> q{count, m, n, p, {x.ptr + o[0], bx, x.strides[r - 2], x.strides[r - 1]},
                                     {y.ptr + o[1], by, y.strides[r - 2], y.strides[r - 1]},
                                     {nullptr, bc, cs[r - 2], cs[r - 1]}};
                if constexpr (std::is_same_v<C, f16>)
                    q.h = out;
                else
                    q.c.p = out;
                return gemm::f16_gemm(q);
            });
    };
    NdArray<f16> h = NdArray<f16>::uninit(shape, Order::C);
    if (h.size() == 0) return h;
    if (each(h)) return h;
    NdArray<float> c = NdArray<float>::uninit(shape, Order::C);
    if (!each(c)) return std::nullopt;
    return narrow_array<f16>(std::move(c));
}

// float16 gradients of stacked products with the float16 kernel where no
// batch axis is broadcast away (a sum over it would need float32 partial
// results): gl = g @ b^T when a has the full batch shape, gr = a^T @ g when
// b does, or as one product over the stacked rows when b has no batch. The
// rest goes through widened copies. Nothing when the shapes do not fit (the
// general path reports the error) or the product is too small to pay for
// packing.
std::optional<Result<GradPair<f16>>> packed_backward_batched(const NdView<f16>& g, const NdView<f16>& a,
                                                             const NdView<f16>& b, Needs wanted) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra < 2 || rb < 2 || (ra == 2 && rb == 2)) return std::nullopt;
    const std::size_t m = a.shape[ra - 2], k = a.shape[ra - 1], n = b.shape[rb - 1];
    if (b.shape[rb - 2] != k) return std::nullopt;
    const std::span<const std::size_t> batch_a(a.shape.data(), ra - 2), batch_b(b.shape.data(), rb - 2);
    BroadcastShape batch = broadcast_shapes(batch_a, batch_b);
    if (!batch.ok() || !(g.shape == join(batch.shape, m, n))) return std::nullopt;
    double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    for (std::size_t e : batch.shape) work *= static_cast<double>(e);
    if (!gemm::f16_packing_pays(work, m, n, k)) return std::nullopt;
    auto va = a.broadcast(join(batch.shape, m, k));
    auto vb = b.broadcast(join(batch.shape, k, n));
    if (!va || !vb) return std::nullopt;
    GradPair<f16> out;
    Needs rest{false, false};
    if (wanted.lhs) {
        std::optional<NdArray<f16>> r;
        if (join(batch.shape, m, k) == a.shape) r = half_product(g, transposed(*vb), a.shape);
        if (r) out.lhs = std::move(*r);
        rest.lhs = !r;
    }
    if (wanted.rhs) {
        std::optional<NdArray<f16>> r;
        if (join(batch.shape, k, n) == b.shape) {
            r = half_product(transposed(*va), g, b.shape);
        } else if (all_ones(batch_b)) {
            auto rx = tall_row_stride(*va);
            auto ry = tall_row_stride(g);
            if (rx && ry) {
                // the broadcast view's rank: b may have more (unit) batch axes than a
                const std::size_t rv = va->ndim();
                const std::size_t rows = product(std::span(va->shape.data(), rv - 1));
                // one k x n product over the stacked rows, shaped like b
                r = half_product(NdView<f16>{va->ptr, Dims{k, rows}, Strides{va->strides[rv - 1], *rx}},
                                 NdView<f16>{g.ptr, Dims{rows, n}, Strides{*ry, g.strides[rv - 1]}}, Dims{k, n});
                if (r) {
                    auto shaped = std::move(*r).into_shape(Dims(b.shape));
                    r.reset();
                    if (shaped.ok()) r = std::move(*shaped);
                }
            }
        }
        if (r) out.rhs = std::move(*r);
        rest.rhs = !r;
    }
    return widen_rest(g, a, b, rest, std::move(out));
}

}  // namespace

template <class T>
Result<GradPair<T>> matmul_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted) {
    if constexpr (std::is_same_v<T, float>) {
        return matmul_backward_f32(g, a, b, wanted);
    } else {
        if (auto r = packed_backward_2d(g, a, b, wanted)) return std::move(*r);
        if constexpr (std::is_same_v<T, f16>)
            if (auto r = packed_backward_batched(g, a, b, wanted)) return std::move(*r);
        return widened_backward(g, a, b, wanted);
    }
}

namespace {

template <class T>
Result<GradPair<T>> widened_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b, Needs wanted) {
    // gl needs only b, gr only a: an operand nobody needs is not widened.
    NdArray<float> gw = widen_array(g);
    NdArray<float> aw = wanted.rhs ? widen_array(a) : NdArray<float>();
    NdArray<float> bw = wanted.lhs ? widen_array(b) : NdArray<float>();
    const NdView<float> av = wanted.rhs ? aw.view() : shape_only(a);
    const NdView<float> bv = wanted.lhs ? bw.view() : shape_only(b);
    VORKA_TRY(GradPair<float> r, matmul_backward_f32(gw.view(), av, bv, wanted));
    GradPair<T> out;
    if (wanted.lhs) out.lhs = narrow_array<T>(std::move(r.lhs));
    if (wanted.rhs) out.rhs = narrow_array<T>(std::move(r.rhs));
    return out;
}

}  // namespace

#define VORKA_INSTANTIATE_MATMUL_BACKWARD(T) \
    template Result<GradPair<T>> matmul_backward<T>(const NdView<T>&, const NdView<T>&, const NdView<T>&, Needs);
VORKA_FLOAT_TYPES(VORKA_INSTANTIATE_MATMUL_BACKWARD)
#undef VORKA_INSTANTIATE_MATMUL_BACKWARD

}  // namespace vorka::numeric::backward
