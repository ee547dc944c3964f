// Logical kernels on Bool arrays.
#pragma once

#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::kernels {

inline Result<NdArray<bool>> logical(simd::LogicalOp op, const NdView<bool>& a, const NdView<bool>& b) {
    return zip_broadcast<bool>(a, b, [op](const bool* x, std::ptrdiff_t sx, const bool* y, std::ptrdiff_t sy, bool* o,
                                          std::size_t n) { simd::logical(op, x, sx, y, sy, o, n); });
}

inline NdArray<bool> logical_not(const NdView<bool>& x) {
    return map_collect<bool>(x, [](const bool* in, std::ptrdiff_t sx, bool* o, std::size_t n) {
        simd::logical_not(in, sx, o, n);
    });
}

}  // namespace vorka::kernels
