#include "engine/cpu/storage/functional.hpp"

#include <bit>
#include <cstring>

#include "strided/iter.hpp"

namespace vorka::storage_ops {

namespace {

inline f16 relu_scalar(f16 x) { return ((x.bits & 0x8000) || (x.bits & 0x7FFF) >= 0x7C01) ? f16{0} : x; }
inline bf16 relu_scalar(bf16 x) { return ((x.bits & 0x8000) || (x.bits & 0x7FFF) >= 0x7F81) ? bf16{0} : x; }
inline float relu_scalar(float x) {
    uint32_t b = std::bit_cast<uint32_t>(x);
    if ((b & 0x7FFFFFFF) > 0x7F800000) {
        // maxNum: a quiet NaN loses to +0, a signalling one is quieted.
        return (b & 0x00400000) ? 0.0f : std::bit_cast<float>(b | 0x00400000);
    }
    return x > 0.0f ? x : 0.0f;
}

}  // namespace

Result<CpuStorage> relu(const CpuStorage& x) {
    if (x.dtype() == DType::Bool) return Error::type("Tensor Dtype not supported for this operation: relu");
    return x.visit([](const auto& a) -> Result<CpuStorage> {
        using T = std::remove_cvref_t<decltype(*a.data())>;
        if constexpr (std::is_same_v<T, bool>) {
            return Error::type("Tensor Dtype not supported for this operation: relu");
        } else {
            return CpuStorage(map_collect<T>(a.view(), [](const T* in, std::ptrdiff_t s, T* out, std::size_t n) {
                for (std::size_t i = 0; i < n; ++i) out[i] = relu_scalar(in[static_cast<std::ptrdiff_t>(i) * s]);
            }));
        }
    });
}

}  // namespace vorka::storage_ops
