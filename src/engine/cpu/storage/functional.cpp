#include "engine/cpu/storage/functional.hpp"

#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::storage_ops {

Result<CpuStorage> relu(const CpuStorage& x) {
    return x.visit_float(
        []<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
            return CpuStorage(map_collect<T>(a.view(), [](const T* in, std::ptrdiff_t s, T* out, std::size_t n) {
                simd::relu<T>(in, s, out, n);
            }));
        },
        []() -> Result<CpuStorage> { return Error::type("Tensor Dtype not supported for this operation: relu"); });
}

}  // namespace vorka::storage_ops
