#include "engine/cpu/numeric/ops/matmul.hpp"

#include "engine/cpu/numeric/formats.hpp"
#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::kernels {

Result<NdArray<float>> internal_linalg_matmul(const NdView<float>& a, const NdView<float>& b) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra < 2 || rb < 2)
        return Error::runtime("Matmul requires at least 2D tensors. A: " + std::to_string(ra) +
                              "D, B: " + std::to_string(rb) + "D");
    const std::size_t m = a.shape[ra - 2], k = a.shape[ra - 1], k2 = b.shape[rb - 2], n = b.shape[rb - 1];
    if (k != k2)
        return Error::runtime("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                              std::to_string(k2));
    BroadcastShape batch = broadcast_shapes(std::span(a.shape.data(), ra - 2), std::span(b.shape.data(), rb - 2));
    if (!batch.ok()) return Error::runtime(std::move(batch.error));
    Dims target_a = batch.shape, target_b = batch.shape, shape_out = batch.shape;
    target_a.push_back(m), target_a.push_back(k);
    target_b.push_back(k), target_b.push_back(n);
    shape_out.push_back(m), shape_out.push_back(n);
    auto va = a.broadcast(target_a);
    if (!va) return Error::runtime("Broadcast failed for A to " + shape_text(target_a));
    auto vb = b.broadcast(target_b);
    if (!vb) return Error::runtime("Broadcast failed for B to " + shape_text(target_b));

    NdArray<float> out = NdArray<float>::uninit(shape_out, Order::C);
    if (out.size() == 0) return out;
    const std::size_t nb = batch.shape.size();
    const auto& so = out.strides();
    const auto& sa = va->strides;
    const auto& sb = vb->strides;
    // Walk the batch axes as one strided loop; each run is a batch of GEMMs of
    // one shape, and a broadcast operand simply has batch stride 0.
    std::span<const std::size_t> bshape(batch.shape.data(), nb);
    auto plan = plan_loop<3>(bshape, {std::span<const std::ptrdiff_t>(so.data(), nb),
                                      std::span<const std::ptrdiff_t>(sa.data(), nb),
                                      std::span<const std::ptrdiff_t>(sb.data(), nb)});
    run_loop<3>(plan,
                {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<float*>(va->ptr)),
                 reinterpret_cast<char*>(const_cast<float*>(vb->ptr))},
                {sizeof(float), sizeof(float), sizeof(float)},
                [&](std::array<char*, 3> p, std::array<std::ptrdiff_t, 3> s, std::size_t count) {
                    gemm::sgemm_batch(count, m, n, k,
                                      reinterpret_cast<const float*>(p[1]), s[1], sa[nb], sa[nb + 1],
                                      reinterpret_cast<const float*>(p[2]), s[2], sb[nb], sb[nb + 1],
                                      reinterpret_cast<float*>(p[0]), s[0], so[nb], so[nb + 1]);
                });
    return out;
}

template <class T>
NdArray<float> widen(const NdView<T>& x) {
    return map_collect<float>(x, [](const T* in, std::ptrdiff_t s, float* o, std::size_t n) {
        if (s == 1) {
            simd::widen(in, o, n);
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (std::is_same_v<T, f16>)
                o[i] = f16_to_f32(in[std::ptrdiff_t(i) * s]);
            else
                o[i] = bf16_to_f32(in[std::ptrdiff_t(i) * s]);
        }
    });
}

template <class T>
NdArray<T> narrow(const NdView<float>& x) {
    return map_collect<T>(x, [](const float* in, std::ptrdiff_t s, T* o, std::size_t n) {
        if (s == 1) {
            simd::narrow(in, o, n);
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (std::is_same_v<T, f16>)
                o[i] = f32_to_f16(in[std::ptrdiff_t(i) * s]);
            else
                o[i] = f32_to_bf16(in[std::ptrdiff_t(i) * s]);
        }
    });
}

template NdArray<float> widen<f16>(const NdView<f16>&);
template NdArray<float> widen<bf16>(const NdView<bf16>&);
template NdArray<f16> narrow<f16>(const NdView<float>&);
template NdArray<bf16> narrow<bf16>(const NdView<float>&);

template <>
Result<NdArray<float>> MatmulOps<float>::do_matmul(const NdView<float>& a, const NdView<float>& b) {
    return internal_linalg_matmul(a, b);
}

template <class T>
Result<NdArray<T>> MatmulOps<T>::do_matmul(const NdView<T>& a, const NdView<T>& b) {
    NdArray<float> wa = widen(a);
    NdArray<float> wb = widen(b);
    VORKA_TRY(NdArray<float> r, internal_linalg_matmul(wa.view(), wb.view()));
    return narrow<T>(r.view());
}

template struct MatmulOps<f16>;
template struct MatmulOps<bf16>;

}  // namespace vorka::kernels
