// float32 copies of float16/bfloat16 arrays and back, for the operations that
// compute in float32 and round once. The bulk conversions are vectorised and
// give the same bits as the scalar ones of formats.hpp.
#pragma once

#include <type_traits>
#include <utility>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::numeric {

// Same shape; a contiguous array keeps its strides, any other comes back in
// standard layout.
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

// Rounded once per element, keeping the strides.
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

}  // namespace vorka::numeric
