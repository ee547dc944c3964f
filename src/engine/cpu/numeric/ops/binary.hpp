// Element-wise kernels, one generic implementation per family, instantiated
// per element type. Results follow the zip rule (two operands) or the map rule
// (one operand) for their memory order.
#pragma once

#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::kernels {

template <class T>
Result<NdArray<T>> binary(simd::BinaryOp op, const NdView<T>& a, const NdView<T>& b) {
    auto loop = [op](const T* x, std::ptrdiff_t sx, const T* y, std::ptrdiff_t sy, T* o, std::size_t n) {
        simd::binary<T>(op, x, sx, y, sy, o, n);
    };
    return zip_broadcast<T>(a, b, loop);
}

template <class T>
Result<NdArray<bool>> compare(simd::CompareOp op, const NdView<T>& a, const NdView<T>& b) {
    auto loop = [op](const T* x, std::ptrdiff_t sx, const T* y, std::ptrdiff_t sy, bool* o, std::size_t n) {
        simd::compare<T>(op, x, sx, y, sy, o, n);
    };
    return zip_broadcast<bool>(a, b, loop);
}

template <class T>
NdArray<T> scalar(simd::ScalarOp op, const NdView<T>& x, float s) {
    return map_collect<T>(x, [op, s](const T* in, std::ptrdiff_t sx, T* o, std::size_t n) {
        simd::scalar<T>(op, in, sx, s, o, n);
    });
}

template <class T>
NdArray<bool> scalar_compare(simd::CompareOp op, const NdView<T>& x, float s) {
    return map_collect<bool>(x, [op, s](const T* in, std::ptrdiff_t sx, bool* o, std::size_t n) {
        simd::scalar_compare<T>(op, in, sx, s, o, n);
    });
}

}  // namespace vorka::kernels
