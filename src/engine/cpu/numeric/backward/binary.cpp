#include "engine/cpu/numeric/backward/binary.hpp"

#include <string>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/formats.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::numeric::backward {

namespace {

std::string broadcast_failed(const char* which, std::span<const std::size_t> from, std::span<const std::size_t> to) {
    return std::string("Broadcast failed for ") + which + ": " + shape_text(from) + " -> " + shape_text(to);
}

template <class T>
struct ViewPair {
    NdView<T> a, b;
};

// The two-operand broadcast: both views in the common shape.
template <class T>
Result<ViewPair<T>> broadcast_pair(const NdView<T>& a, const NdView<T>& b) {
    BroadcastShape target = broadcast_shapes(a.shape, b.shape);
    if (!target.ok()) return Error::runtime(std::move(target.error));
    auto va = a.broadcast(target.shape);
    if (!va) return Error::runtime(broadcast_failed("A", a.shape, target.shape));
    auto vb = b.broadcast(target.shape);
    if (!vb) return Error::runtime(broadcast_failed("B", b.shape, target.shape));
    return ViewPair<T>{std::move(*va), std::move(*vb)};
}

template <class T>
NdArray<T> multiply(const NdView<T>& x, const NdView<T>& y) {
    return zip_collect<T>(x, y, [](const T* a, std::ptrdiff_t sa, const T* b, std::ptrdiff_t sb, T* out, std::size_t n) {
        simd::binary<T>(simd::BinaryOp::Mul, a, sa, b, sb, out, n);
    });
}

std::string shape_mismatch(const char* op, std::span<const std::size_t> g, std::span<const std::size_t> x) {
    return std::string("Shape mismatch in ") + op + ": grad " + shape_text(g) + " vs input " + shape_text(x);
}

}  // namespace

template <class T>
Result<GradPair<T>> mul_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b) {
    VORKA_TRY(ViewPair<T> gb, broadcast_pair(g, b));
    NdArray<T> gl = multiply(gb.a, gb.b);
    VORKA_TRY(ViewPair<T> ga, broadcast_pair(g, a));
    NdArray<T> gr = multiply(ga.a, ga.b);
    return GradPair<T>{std::move(gl), std::move(gr)};
}

template <class T>
Result<GradPair<T>> div_backward(const NdView<T>& g, const NdView<T>& a, const NdView<T>& b) {
    VORKA_TRY(ViewPair<T> ga, broadcast_pair(g, a));
    BroadcastShape target = broadcast_shapes(ga.a.shape, b.shape);
    if (!target.ok()) return Error::runtime(std::move(target.error));
    auto vg = ga.a.broadcast(target.shape);
    auto va = ga.b.broadcast(target.shape);
    if (!vg || !va) return Error::panic(broadcast_failed("A", ga.a.shape, target.shape));
    auto vb = b.broadcast(target.shape);
    if (!vb) return Error::runtime(broadcast_failed("RHS", b.shape, target.shape));

    NdArray<T> gl = NdArray<T>::uninit(target.shape);
    NdArray<T> gr = NdArray<T>::uninit(target.shape);
    if (gl.size() == 0) return GradPair<T>{std::move(gl), std::move(gr)};
    // Both outputs share the standard strides, so one plan walks all five.
    const Strides& os = gl.strides();
    auto plan = plan_loop<5>(target.shape, {std::span<const std::ptrdiff_t>(os), std::span<const std::ptrdiff_t>(os),
                                            std::span<const std::ptrdiff_t>(vg->strides),
                                            std::span<const std::ptrdiff_t>(va->strides),
                                            std::span<const std::ptrdiff_t>(vb->strides)});
    auto bytes = [](const T* p) { return reinterpret_cast<char*>(const_cast<T*>(p)); };
    run_loop<5>(plan, {bytes(gl.data()), bytes(gr.data()), bytes(vg->ptr), bytes(va->ptr), bytes(vb->ptr)},
                {sizeof(T), sizeof(T), sizeof(T), sizeof(T), sizeof(T)},
                [](std::array<char*, 5> p, std::array<std::ptrdiff_t, 5> s, std::size_t n) {
                    T* ol = reinterpret_cast<T*>(p[0]);
                    T* orr = reinterpret_cast<T*>(p[1]);
                    const T* pg = reinterpret_cast<const T*>(p[2]);
                    const T* pa = reinterpret_cast<const T*>(p[3]);
                    const T* pb = reinterpret_cast<const T*>(p[4]);
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
                        const float gv = to_f32(pg[k * s[2]]);
                        const float av = to_f32(pa[k * s[3]]);
                        const float bv = to_f32(pb[k * s[4]]);
                        ol[k * s[0]] = from_f32<T>(gv / bv);
                        const float t = -gv * av;
                        const float u = bv * bv;
                        orr[k * s[1]] = from_f32<T>(t / u);
                    }
                });
    return GradPair<T>{std::move(gl), std::move(gr)};
}

template <class T>
Result<NdArray<T>> rdiv_backward(const NdView<T>& g, const NdView<T>& x, float s) {
    if (!(g.shape == x.shape)) return Error::runtime(shape_mismatch("rdiv_backward", g.shape, x.shape));
    return zip_collect<T>(g, x, [s](const T* pg, std::ptrdiff_t sg, const T* px, std::ptrdiff_t sx, T* out,
                                    std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
            const float xv = to_f32(px[k * sx]);
            const float d = -s / (xv * xv);
            out[i] = from_f32<T>(to_f32(pg[k * sg]) * d);
        }
    });
}

template <class T>
Result<NdArray<float>> sum_to_shape_f32(const NdView<T>& g, std::span<const std::size_t> target) {
    auto refused = [&] {
        return Error::runtime("Cannot reduce a gradient of shape " + shape_text(g.shape) + " to " + shape_text(target));
    };
    if (target.size() > g.shape.size()) return refused();
    const std::size_t lead = g.shape.size() - target.size();
    for (std::size_t i = 0; i < target.size(); ++i)
        if (target[i] != g.shape[lead + i] && target[i] != 1) return refused();

    NdArray<float> acc = NdArray<float>::from_elem(Dims(target.data(), target.size()), 0.0f);
    if (g.size() == 0) return acc;
    // The accumulator seen in g's shape: reduced axes get stride 0.
    auto spread = acc.view().broadcast(g.shape);
    if (!spread) return refused();
    // Ordered by g's strides, so g is read in memory order.
    auto plan = plan_loop<2>(g.shape, {std::span<const std::ptrdiff_t>(g.strides),
                                        std::span<const std::ptrdiff_t>(spread->strides)});
    run_loop<2>(plan, {reinterpret_cast<char*>(const_cast<T*>(g.ptr)), reinterpret_cast<char*>(acc.data())},
                {sizeof(T), sizeof(float)}, [](std::array<char*, 2> p, std::array<std::ptrdiff_t, 2> s, std::size_t n) {
                    const T* in = reinterpret_cast<const T*>(p[0]);
                    float* out = reinterpret_cast<float*>(p[1]);
                    if (s[1] == 0) {
                        float sum = 0.0f;
                        for (std::size_t i = 0; i < n; ++i) sum += to_f32(in[static_cast<std::ptrdiff_t>(i) * s[0]]);
                        *out += sum;
                    } else if (s[0] == 1 && s[1] == 1) {
                        for (std::size_t i = 0; i < n; ++i) out[i] += to_f32(in[i]);
                    } else {
                        for (std::size_t i = 0; i < n; ++i) {
                            const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
                            out[k * s[1]] += to_f32(in[k * s[0]]);
                        }
                    }
                });
    return acc;
}

template <class T>
Result<NdArray<T>> sum_to_shape(const NdView<T>& g, std::span<const std::size_t> target) {
    VORKA_TRY(NdArray<float> acc, sum_to_shape_f32(g, target));
    return narrow_array<T>(std::move(acc));
}

template <class T>
NdArray<float> widen_array(const NdView<T>& v) {
    return map_collect<float>(v, [](const T* in, std::ptrdiff_t s, float* out, std::size_t n) {
        if constexpr (std::is_same_v<T, float>) {
            for (std::size_t i = 0; i < n; ++i) out[i] = in[static_cast<std::ptrdiff_t>(i) * s];
        } else {
            if (s == 1) return simd::widen(in, out, n);
            for (std::size_t i = 0; i < n; ++i) out[i] = to_f32(in[static_cast<std::ptrdiff_t>(i) * s]);
        }
    });
}

template <class T>
NdArray<T> narrow_array(NdArray<float>&& v) {
    if constexpr (std::is_same_v<T, float>) {
        return std::move(v);
    } else {
        NdArray<T> out = NdArray<T>::uninit_with_strides(v.shape(), v.strides());
        if (out.size()) simd::narrow(v.data(), out.data(), out.size());
        return out;
    }
}

#define VORKA_INSTANTIATE(T)                                                                                  \
    template Result<GradPair<T>> mul_backward<T>(const NdView<T>&, const NdView<T>&, const NdView<T>&);       \
    template Result<GradPair<T>> div_backward<T>(const NdView<T>&, const NdView<T>&, const NdView<T>&);       \
    template Result<NdArray<T>> rdiv_backward<T>(const NdView<T>&, const NdView<T>&, float);                  \
    template Result<NdArray<float>> sum_to_shape_f32<T>(const NdView<T>&, std::span<const std::size_t>);      \
    template Result<NdArray<T>> sum_to_shape<T>(const NdView<T>&, std::span<const std::size_t>);              \
    template NdArray<float> widen_array<T>(const NdView<T>&);                                                 \
    template NdArray<T> narrow_array<T>(NdArray<float>&&);
VORKA_INSTANTIATE(float)
VORKA_INSTANTIATE(f16)
VORKA_INSTANTIATE(bf16)
#undef VORKA_INSTANTIATE

}  // namespace vorka::numeric::backward
