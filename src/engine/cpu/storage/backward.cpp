#include "engine/cpu/storage/backward.hpp"

#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/numeric/convert.hpp"

namespace vorka::storage_ops {

namespace {

namespace nb = numeric::backward;

constexpr const char* kBinaryMismatch = "DType mismatch between gradient and operands during backward pass.";
constexpr const char* kUnaryMismatch = "DType mismatch between gradient and input during unary backward pass.";

// Calls f(g, x...) with the typed arrays when every operand has the
// gradient's float type; otherwise the TypeError `mismatch`.
template <class R, class F, class... S>
Result<R> dispatch(const char* mismatch, const CpuStorage& grad, F&& f, const S&... others) {
    return grad.visit_float(
        [&]<class T>(const NdArray<T>& g) -> Result<R> {
            if ((... || (others.template get<T>() == nullptr))) return Error::type(mismatch);
            return f(g.view(), others.template get<T>()->view()...);
        },
        [&]() -> Result<R> { return Error::type(mismatch); });
}

template <class T>
Result<GradPair> wrap_pair(Result<nb::GradPair<T>>&& r, Needs w) {
    if (!r.ok()) return std::move(r).error();
    nb::GradPair<T> p = std::move(r).value();
    GradPair out;
    if (w.lhs) out.lhs.emplace(std::move(p.lhs));
    if (w.rhs) out.rhs.emplace(std::move(p.rhs));
    return out;
}

// A two-operand gradient kernel, kernel(g, a, b, wanted), on the typed arrays.
template <class K>
Result<GradPair> pair(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs, Needs w, K kernel) {
    return dispatch<GradPair>(
        kBinaryMismatch, grad,
        [&](const auto& g, const auto& a, const auto& b) { return wrap_pair(kernel(g, a, b, w), w); },
        lhs, rhs);
}

template <class T>
Result<CpuStorage> wrap_one(Result<NdArray<T>>&& r) {
    if (!r.ok()) return std::move(r).error();
    return CpuStorage(std::move(r).value());
}

}  // namespace

#define VORKA_DEFINE_PAIR_GRADIENT(name, lane, node, gradient, ...)                                          \
    VORKA_IF_##gradient(Result<GradPair> backward_##name(const CpuStorage& lhs, const CpuStorage& grad,    \
                                                          const CpuStorage& rhs, Needs w) {               \
        return pair(lhs, grad, rhs, w, [](const auto&... v) { return nb::name##_backward(v...); });        \
    })
VORKA_ARITHMETIC_OPS(VORKA_DEFINE_PAIR_GRADIENT)
VORKA_DEFINE_PAIR_GRADIENT(matmul, -, MatmulNode, Kernel)
#undef VORKA_DEFINE_PAIR_GRADIENT

Result<CpuStorage> backward_relu(const CpuStorage& input, const CpuStorage& grad) {
    return dispatch<CpuStorage>(
        kUnaryMismatch, grad, [](const auto& g, const auto& x) { return wrap_one(nb::relu_backward(g, x)); }, input);
}

#define VORKA_DEFINE_NUMBER_GRADIENT(name, lane, functor, reflected, number, word, node, gradient, kernel)        \
    VORKA_IF_##gradient(Result<CpuStorage> backward_##kernel(const CpuStorage& input, const CpuStorage& grad,      \
                                                              float s) {                                          \
        return dispatch<CpuStorage>(                                                                             \
            kUnaryMismatch, grad,                                                                                \
            [s](const auto& g, const auto& x) { return wrap_one(nb::kernel##_backward(g, x, s)); }, input);       \
    })
VORKA_NUMBER_OPS(VORKA_DEFINE_NUMBER_GRADIENT)
#undef VORKA_DEFINE_NUMBER_GRADIENT

Result<CpuStorage> sum_to_shape(const CpuStorage& g, const Dims& shape) {
    return g.visit_float([&](const auto& a) { return wrap_one(nb::sum_to_shape(a.view(), shape)); },
                         []() -> Result<CpuStorage> {
                             return Error::type("Gradients of Bool tensors are not supported.");
                         });
}

Result<CpuStorage> widen_f32(const CpuStorage& g) {
    return g.visit([]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (ElementTraits<T>::sums_widen) return CpuStorage(numeric::widen_array(a.view()));
        else return Error::type("Only float16 and bfloat16 gradients are widened.");
    });
}

Result<CpuStorage> narrow_f32(const CpuStorage& g, DType to) {
    const NdArray<float>* a = g.get<float>();
    if (a == nullptr) return Error::type("Only float32 sums are narrowed.");
    return with_element_type(to, [&]<class T>(TypeTag<T>) -> Result<CpuStorage> {
        if constexpr (ElementTraits<T>::sums_widen) return CpuStorage(numeric::narrow_array<T>(a->copy()));
        else return Error::type("Only float16 and bfloat16 gradients are narrowed.");
    });
}

}  // namespace vorka::storage_ops
