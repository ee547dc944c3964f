#include "engine/cpu/storage/functional.hpp"

#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::storage_ops {

Result<CpuStorage> relu(const CpuStorage& x) {
    if (x.dtype() == DType::Bool) return Error::type("Tensor Dtype not supported for this operation: relu");
    return x.visit([](const auto& a) -> Result<CpuStorage> {
        using T = std::remove_cvref_t<decltype(*a.data())>;
        if constexpr (std::is_same_v<T, bool>) {
            return Error::type("Tensor Dtype not supported for this operation: relu");
        } else {
            return CpuStorage(map_collect<T>(a.view(), [](const T* in, std::ptrdiff_t s, T* out, std::size_t n) {
                simd::relu<T>(in, s, out, n);
            }));
        }
    });
}

}  // namespace vorka::storage_ops
