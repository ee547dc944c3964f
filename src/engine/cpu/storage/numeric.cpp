#include "engine/cpu/storage/numeric.hpp"

#include <cmath>
#include <string>

#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/formats.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "strided/iter.hpp"

namespace vorka::storage_ops {

namespace {

using simd::BinaryOp;
using simd::CompareOp;
using simd::ScalarOp;

std::string name(const CpuStorage& s) { return std::string(dtype_name(s.dtype())); }

const char* symbol(CompareOp op) {
#define VORKA_SYMBOL(name, lane, text, ...) text,
    static constexpr const char* kSymbols[] = {VORKA_COMPARISON_OPS(VORKA_SYMBOL)};
#undef VORKA_SYMBOL
    return kSymbols[static_cast<std::size_t>(op)];
}

// Calls f(array_a, array_b) with both arrays of the common numeric type.
template <class F>
Result<CpuStorage> with_same_numeric(const CpuStorage& a, const CpuStorage& b, F&& f) {
    if (a.dtype() != b.dtype())
        return Error::value("Tensor DType mismatch during binary execution. Cannot operate between " + name(a) +
                            " and " + name(b) + ".");
    return a.visit_float(
        [&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> { return f(x, *b.template get<T>()); },
        []() -> Result<CpuStorage> {
            return Error::type(
                "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
        });
}

// Operands that are row-major with default strides (two of them: also of one
// shape) need no broadcasting and no layout decision: one flat loop,
// flat(out, n), does it, without the views and plan of the general kernel.
template <class Out, class T, class Flat, class General>
[[gnu::always_inline]] inline Result<CpuStorage> flat_or(bool dense, const NdArray<T>& x, Flat&& flat,
                                                         General&& general) {
    if (dense) {
        auto out = NdArray<Out>::uninit_like(x);
        if (out.size()) flat(out.data(), out.size());
        return CpuStorage(std::move(out));
    }
    Result<NdArray<Out>> out = general();
    if (!out.ok()) return std::move(out).error();
    return CpuStorage(std::move(out).value());
}

template <class T>
[[gnu::always_inline]] inline bool dense(const NdArray<T>& x) {
    return has_default_strides(x.shape(), x.strides());
}
template <class T>
bool dense(const NdArray<T>& x, const NdArray<T>& y) {
    return x.shape() == y.shape() && dense_pair(x.shape(), x.strides(), y.strides());
}

Result<CpuStorage> arithmetic(BinaryOp op, const CpuStorage& a, const CpuStorage& b) {
    return with_same_numeric(a, b, [op]<class T>(const NdArray<T>& x, const NdArray<T>& y) -> Result<CpuStorage> {
        return flat_or<T>(
            dense(x, y), x, [&](T* o, std::size_t n) { simd::binary<T>(op, x.data(), 1, y.data(), 1, o, n); },
            [&] { return kernels::binary(op, x.view(), y.view()); });
    });
}

Result<CpuStorage> comparison(CompareOp op, const CpuStorage& a, const CpuStorage& b) {
    if (a.dtype() != b.dtype())
        return Error::runtime(std::string("Tensor device or dtype mismatch for element-wise ") + symbol(op) +
                              " operation.");
    return a.visit([&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> {
        const NdArray<T>& y = *b.template get<T>();
        return flat_or<bool>(
            dense(x, y), x, [&](bool* o, std::size_t n) { simd::compare<T>(op, x.data(), 1, y.data(), 1, o, n); },
            [&] { return kernels::compare(op, x.view(), y.view()); });
    });
}

// `rounded`: the number is first rounded to the element type.
// Kept out of line: one copy serves every number operation.
[[gnu::noinline]] Result<CpuStorage> scalar_arith(ScalarOp op, const CpuStorage& x, float s, const char* what,
                                                  bool rounded) {
    return x.visit_float(
        [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
            const float t = rounded ? round_to<T>(s) : s;
            return flat_or<T>(
                dense(a), a, [&](T* o, std::size_t n) { simd::scalar<T>(op, a.data(), 1, t, o, n); },
                [&] { return kernels::scalar(op, a.view(), t); });
        },
        [&]() -> Result<CpuStorage> {
            return Error::value(std::string("Tensor DType invalid during scalar ") + what +
                                ". Cannot operate between " + name(x) + " and scalar.");
        });
}

// The number as the element type holds it.
Result<CpuStorage> rounded_number(ScalarOp op, const CpuStorage& x, float s, const char* what) {
    return scalar_arith(op, x, s, what, true);
}

// Multiplies by the float32 reciprocal without rounding it to a 16-bit type
// first: rounding it could overflow (1 / 1e-5 in float16) or lose precision.
// Below |s| = 2^-128 the reciprocal overflows, so those compute `op` (divide)
// directly (for s = 0 or NaN both ways give the same values).
Result<CpuStorage> reciprocal_number(ScalarOp op, const CpuStorage& x, float s, const char* what) {
    const float r = 1.0f / s;
    if (!std::isfinite(r)) return scalar_arith(op, x, s, what, false);
    return scalar_arith(ScalarOp::Mul, x, r, what, false);
}

Result<CpuStorage> scalar_comparison(CompareOp op, const CpuStorage& x, float s) {
    return x.visit_float(
        [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
            const float t = round_to<T>(s);
            return flat_or<bool>(
                dense(a), a, [&](bool* o, std::size_t n) { simd::scalar_compare<T>(op, a.data(), 1, t, o, n); },
                [&] { return kernels::scalar_compare(op, a.view(), t); });
        },
        [&]() -> Result<CpuStorage> {
            return Error::runtime(std::string("Tensor device or dtype mismatch for scalar ") + symbol(op) +
                                  " operation.");
        });
}

Result<CpuStorage> logical(simd::LogicalOp op, const CpuStorage& a, const CpuStorage& b) {
    if (a.dtype() != DType::Bool || b.dtype() != DType::Bool)
        return Error::runtime("Logical operations are only supported for Bool data types.");
    VORKA_TRY(auto out, kernels::logical(op, a.get<bool>()->view(), b.get<bool>()->view()));
    return CpuStorage(std::move(out));
}

}  // namespace

#define VORKA_DEFINE_ARITHMETIC(name, lane, ...) \
    Result<CpuStorage> name(const CpuStorage& a, const CpuStorage& b) { return arithmetic(BinaryOp::lane, a, b); }
VORKA_ARITHMETIC_OPS(VORKA_DEFINE_ARITHMETIC)
#undef VORKA_DEFINE_ARITHMETIC

#define VORKA_DEFINE_COMPARISON(name, lane, ...)                                                                    \
    Result<CpuStorage> name(const CpuStorage& a, const CpuStorage& b) { return comparison(CompareOp::lane, a, b); } \
    Result<CpuStorage> scalar_##name(const CpuStorage& x, float s) { return scalar_comparison(CompareOp::lane, x, s); }
VORKA_COMPARISON_OPS(VORKA_DEFINE_COMPARISON)
#undef VORKA_DEFINE_COMPARISON

#define VORKA_DEFINE_NUMBER(name, lane, functor, reflected, number, word, ...) \
    Result<CpuStorage> name(const CpuStorage& x, float s) { return number##_number(ScalarOp::lane, x, s, word); }
VORKA_NUMBER_OPS(VORKA_DEFINE_NUMBER)
#undef VORKA_DEFINE_NUMBER

#define VORKA_DEFINE_LOGICAL(name, lane, ...) \
    Result<CpuStorage> name(const CpuStorage& a, const CpuStorage& b) { return logical(simd::LogicalOp::lane, a, b); }
VORKA_LOGICAL_OPS(VORKA_DEFINE_LOGICAL)
#undef VORKA_DEFINE_LOGICAL

Result<CpuStorage> logical_not(const CpuStorage& x) {
    if (x.dtype() != DType::Bool) return Error::runtime("Logical NOT is only supported for Bool data type.");
    return CpuStorage(kernels::logical_not(x.get<bool>()->view()));
}

}  // namespace vorka::storage_ops

#include "engine/cpu/numeric/ops/matmul.hpp"

namespace vorka::storage_ops {

Result<CpuStorage> matmul(const CpuStorage& a, const CpuStorage& b) {
    return with_same_numeric(a, b, []<class T>(const NdArray<T>& x, const NdArray<T>& y) -> Result<CpuStorage> {
        VORKA_TRY(auto out, kernels::MatmulOps<T>::do_matmul(x.view(), y.view()));
        return CpuStorage(std::move(out));
    });
}

}  // namespace vorka::storage_ops
