#include "engine/cpu/numeric/ops/matmul.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <type_traits>

#include "engine/cpu/numeric/convert.hpp"
#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::kernels {

namespace {

// A product that passed every check: operands broadcast to batch ++ [m, k]
// and batch ++ [k, n], result shape batch ++ [m, n].
template <class T>
struct Planned {
    std::size_t m, k, n;
    Dims batch, shape_out;
    NdView<T> a, b;
};

Error inner_error(std::size_t k, std::size_t k2) {
    return Error::runtime("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                          std::to_string(k2));
}

// Operands of any size may multiply to a result no array can hold (k = 0
// makes that possible without huge inputs): the machine is out of memory for
// it, which is not an internal fault.
std::optional<Error> size_error(std::span<const std::size_t> shape_out) {
    const auto count = checked_size(shape_out);
    if (count && *count <= static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float)) return std::nullopt;
    return Error::memory("matmul result " + shape_text(shape_out) + " exceeds the array size limit");
}

// An allocation of the product (result or widened copies) that failed.
Error alloc_error(std::span<const std::size_t> a, std::span<const std::size_t> b) {
    return Error::memory("out of memory for the matmul of " + shape_text(a) + " and " + shape_text(b));
}

// The checks of the product, in the order callers see their errors.
template <class T>
Result<Planned<T>> plan(const NdView<T>& a, const NdView<T>& b) {
    VORKA_TRY(MatmulShapes s, matmul_shapes(a.shape, b.shape));
    Dims target_a = s.batch, target_b = s.batch, shape_out = s.batch;
    target_a.push_back(s.m), target_a.push_back(s.k);
    target_b.push_back(s.k), target_b.push_back(s.n);
    shape_out.push_back(s.m), shape_out.push_back(s.n);
    VORKA_TRY(NdView<T> va, broadcast_operand(a, target_a, "A"));
    VORKA_TRY(NdView<T> vb, broadcast_operand(b, target_b, "B"));
    if (auto e = size_error(shape_out)) return std::move(*e);
    return Planned<T>{s.m, s.k, s.n, std::move(s.batch), std::move(shape_out), std::move(va), std::move(vb)};
}

// Walks the batch axes of `out` (standard layout) and the operands as one
// strided loop and calls gemm(count, a, bsa, b, bsb, c, bsc) for each run of
// batch entries: a run is a batch of products of one shape, and a broadcast
// operand simply has batch stride 0, so its matrix is never copied.
template <class T, class Out, class Gemm>
void for_each_run(const Planned<T>& p, NdArray<Out>& out, Gemm&& gemm) {
    const std::size_t nb = p.batch.size();
    const Strides& so = out.strides();
    std::span<const std::size_t> bshape(p.batch.data(), nb);
    auto loop = plan_loop<3>(bshape, {std::span<const std::ptrdiff_t>(so.data(), nb),
                                      std::span<const std::ptrdiff_t>(p.a.strides.data(), nb),
                                      std::span<const std::ptrdiff_t>(p.b.strides.data(), nb)});
    run_loop<3>(loop,
                {reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(const_cast<T*>(p.a.ptr)),
                 reinterpret_cast<char*>(const_cast<T*>(p.b.ptr))},
                {sizeof(Out), sizeof(T), sizeof(T)},
                [&](std::array<char*, 3> ptr, std::array<std::ptrdiff_t, 3> s, std::size_t count) {
                    gemm(count, reinterpret_cast<const T*>(ptr[1]), s[1], reinterpret_cast<const T*>(ptr[2]), s[2],
                         reinterpret_cast<Out*>(ptr[0]), s[0]);
                });
}

NdArray<float> product_f32(const Planned<float>& p) {
    NdArray<float> out = NdArray<float>::uninit(p.shape_out, Order::C);
    if (out.size() == 0) return out;
    const std::size_t nb = p.batch.size();
    const Strides &sa = p.a.strides, &sb = p.b.strides, &so = out.strides();
    for_each_run(p, out, [&](std::size_t count, const float* a, std::ptrdiff_t bsa, const float* b,
                             std::ptrdiff_t bsb, float* c, std::ptrdiff_t bsc) {
        gemm::sgemm({count, p.m, p.n, p.k, {a, bsa, sa[nb], sa[nb + 1]}, {b, bsb, sb[nb], sb[nb + 1]},
                     {c, bsc, so[nb], so[nb + 1]}});
    });
    return out;
}

// Whether the bfloat16 kernel is worth trying: the CPU has it and the product
// is big enough to amortise its packing.
bool bf16_worthwhile(const Planned<bf16>& p) {
    if (!gemm::bf16_products_supported()) return false;
    return gemm::bf16_packing_pays(static_cast<double>(p.m) * static_cast<double>(p.n) * static_cast<double>(p.k),
                                   p.m, p.n, p.k);
}

// The bfloat16 product straight from the operands, rounded once per element
// as it is stored; nothing when some value needs the widening path (values
// that could make subnormal terms, see gemm::bf16_gemm).
std::optional<NdArray<bf16>> product_bf16(const Planned<bf16>& p) {
    NdArray<bf16> out = NdArray<bf16>::uninit(p.shape_out, Order::C);
    const std::size_t nb = p.batch.size();
    const Strides &sa = p.a.strides, &sb = p.b.strides, &so = out.strides();
    bool ok = true;
    for_each_run(p, out, [&](std::size_t count, const bf16* a, std::ptrdiff_t bsa, const bf16* b, std::ptrdiff_t bsb,
                             bf16* c, std::ptrdiff_t bsc) {
        ok = ok && gemm::bf16_gemm({count, p.m, p.n, p.k, {a, bsa, sa[nb], sa[nb + 1]}, {b, bsb, sb[nb], sb[nb + 1]},
                                    {nullptr, bsc, so[nb], so[nb + 1]}, c});
    });
    if (!ok) return std::nullopt;
    return out;
}

// The float16 product with the operands widened while they are packed: the
// float32 sums are rounded once as the result is narrowed. Nothing when the
// CPU has no such kernel.
std::optional<NdArray<f16>> product_f16(const Planned<f16>& p) {
    double work = static_cast<double>(p.m) * static_cast<double>(p.n) * static_cast<double>(p.k);
    for (std::size_t e : p.batch) work *= static_cast<double>(e);
    if (!gemm::f16_packing_pays(work, p.m, p.n, p.k)) return std::nullopt;
    const std::size_t nb = p.batch.size();
    const Strides &sa = p.a.strides, &sb = p.b.strides;
    {
        // rounded as stored, no float32 result array
        NdArray<f16> out = NdArray<f16>::uninit(p.shape_out, Order::C);
        const Strides& so = out.strides();
        bool ok = true;
        for_each_run(p, out, [&](std::size_t count, const f16* a, std::ptrdiff_t bsa, const f16* b,
                                 std::ptrdiff_t bsb, f16* c, std::ptrdiff_t bsc) {
            ok = ok && gemm::f16_gemm({count, p.m, p.n, p.k, {a, bsa, sa[nb], sa[nb + 1]},
                                       {b, bsb, sb[nb], sb[nb + 1]}, {nullptr, bsc, so[nb], so[nb + 1]}, c});
        });
        if (ok) return out;
    }
    NdArray<float> out = NdArray<float>::uninit(p.shape_out, Order::C);
    const Strides& so = out.strides();
    bool ok = true;
    for_each_run(p, out, [&](std::size_t count, const f16* a, std::ptrdiff_t bsa, const f16* b, std::ptrdiff_t bsb,
                             float* c, std::ptrdiff_t bsc) {
        ok = ok && gemm::f16_gemm({count, p.m, p.n, p.k, {a, bsa, sa[nb], sa[nb + 1]}, {b, bsb, sb[nb], sb[nb + 1]},
                                   {c, bsc, so[nb], so[nb + 1]}});
    });
    if (!ok) return std::nullopt;
    return numeric::narrow_array<f16>(std::move(out));
}

// Two plain matrices, the common case: the same checks without the batch
// machinery, whose bookkeeping costs as much as a whole 8 x 8 product.
Result<NdArray<float>> product_2d(const NdView<float>& a, const NdView<float>& b) {
    const std::size_t m = a.shape[0], k = a.shape[1], k2 = b.shape[0], n = b.shape[1];
    if (k != k2) return inner_error(k, k2);
    const std::size_t shape_out[2] = {m, n};
    if (auto e = size_error(shape_out)) return std::move(*e);
    NdArray<float> out = NdArray<float>::uninit(Dims{m, n}, Order::C);
    if (out.size() != 0)
        gemm::sgemm({1, m, n, k, {a.ptr, 0, a.strides[0], a.strides[1]}, {b.ptr, 0, b.strides[0], b.strides[1]},
                     {out.data(), 0, static_cast<std::ptrdiff_t>(n), 1}});
    return out;
}

}  // namespace

Result<MatmulShapes> matmul_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b) {
    const std::size_t ra = a.size(), rb = b.size();
    if (ra < 2 || rb < 2)
        return Error::runtime("Matmul requires at least 2D tensors. A: " + std::to_string(ra) + "D, B: " +
                              std::to_string(rb) + "D");
    const std::size_t m = a[ra - 2], k = a[ra - 1], k2 = b[rb - 2], n = b[rb - 1];
    if (k != k2) return inner_error(k, k2);
    BroadcastShape batch = broadcast_shapes(a.first(ra - 2), b.first(rb - 2));
    if (!batch.ok()) return Error::runtime(std::move(batch.error));
    return MatmulShapes{m, k, n, std::move(batch.shape)};
}

Result<NdArray<float>> internal_linalg_matmul(const NdView<float>& a, const NdView<float>& b) {
    try {
        if (a.ndim() == 2 && b.ndim() == 2) return product_2d(a, b);
        VORKA_TRY(Planned<float> p, plan(a, b));
        return product_f32(p);
    } catch (const std::bad_alloc&) {
        return alloc_error(a.shape, b.shape);
    }
}

template <>
Result<NdArray<float>> MatmulOps<float>::do_matmul(const NdView<float>& a, const NdView<float>& b) {
    return internal_linalg_matmul(a, b);
}

template <class T>
Result<NdArray<T>> MatmulOps<T>::do_matmul(const NdView<T>& a, const NdView<T>& b) {
    try {
        // Check first: a failing product should not pay for widened copies.
        VORKA_TRY(Planned<T> p, plan(a, b));
        if (checked_size(p.shape_out).value_or(0) == 0) return NdArray<T>::uninit(p.shape_out, Order::C);
        // Types with a packed 16-bit kernel try it first.
        if constexpr (std::is_same_v<T, bf16>) {
            if (bf16_worthwhile(p)) {
                if (auto r = product_bf16(p)) return std::move(*r);
            }
        } else if constexpr (std::is_same_v<T, f16>) {
            if (auto r = product_f16(p)) return std::move(*r);
        }
        // float32 products, one rounding per result element
        NdArray<float> wa = numeric::widen_array(a);
        NdArray<float> wb = numeric::widen_array(b);
        VORKA_TRY(NdArray<float> r, internal_linalg_matmul(wa.view(), wb.view()));
        return numeric::narrow_array<T>(std::move(r));
    } catch (const std::bad_alloc&) {
        return alloc_error(a.shape, b.shape);
    }
}

#define VORKA_INSTANTIATE_MATMUL(T) template struct MatmulOps<T>;
VORKA_FLOAT_TYPES(VORKA_INSTANTIATE_MATMUL)
#undef VORKA_INSTANTIATE_MATMUL

}  // namespace vorka::kernels
