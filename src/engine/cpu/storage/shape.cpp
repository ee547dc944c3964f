#include "engine/cpu/storage/shape.hpp"

#include "strided/iter.hpp"

namespace vorka::storage_ops {

Result<CpuStorage> reshape(const CpuStorage& x, const Dims& shape) {
    // Check before copying: a failed reshape costs no allocation.
    if (auto why = reshape_refusal(x.size(), x.shape(), x.strides(), shape))
        return Error::value(reshape_error_text(*why));
    return x.visit([&](const auto& a) -> Result<CpuStorage> {
        auto r = a.copy().into_shape(shape);
        if (!r.ok()) return Error::value(reshape_error_text(r.error().message));
        return CpuStorage(std::move(*r));
    });
}

Result<CpuStorage> transpose(const CpuStorage& x, std::size_t dim0, std::size_t dim1) {
    // Check before copying, as for reshape.
    VORKA_CHECK(check_swap_axes(x.shape().size(), dim0, dim1));
    return x.visit([&](const auto& a) -> Result<CpuStorage> {
        auto c = a.copy();
        VORKA_CHECK(c.swap_axes(dim0, dim1));
        return CpuStorage(std::move(c));
    });
}

CpuStorage zeros_like(const CpuStorage& x) {
    return x.visit([]<class T>(const NdArray<T>& a) {
        return CpuStorage(NdArray<T>::from_elem(a.shape(), ElementTraits<T>::zero()));
    });
}

CpuStorage ones_like(const CpuStorage& x) {
    return x.visit([]<class T>(const NdArray<T>& a) {
        return CpuStorage(NdArray<T>::from_elem(a.shape(), ElementTraits<T>::one()));
    });
}

}  // namespace vorka::storage_ops
