#include "engine/cpu/storage/shape.hpp"

#include "strided/iter.hpp"

namespace vorka::storage_ops {

Result<CpuStorage> reshape(const CpuStorage& x, const Dims& shape) {
    // Check before copying: a failed reshape costs no allocation.
    auto n = checked_size(shape);
    if (!n || *n != x.size() || shape.size() > kMaxAxes)
        return Error::value("Error while reshape: " + shape_error_text(ShapeErrorKind::IncompatibleShape));
    if (!is_standard_layout(x.shape(), x.strides()))
        return Error::value("Error while reshape: " + shape_error_text(ShapeErrorKind::IncompatibleLayout));
    return x.visit([&](const auto& a) -> Result<CpuStorage> {
        auto r = a.copy().into_shape(shape);
        if (!r.ok()) return Error::value("Error while reshape: " + r.error().message);
        return CpuStorage(std::move(*r));
    });
}

Result<CpuStorage> transpose(const CpuStorage& x, std::size_t dim0, std::size_t dim1) {
    const std::size_t rank = x.shape().size();
    if (dim0 >= rank) return Error::index(index_out_of_bounds_text(rank, dim0));
    if (dim1 >= rank) return Error::index(index_out_of_bounds_text(rank, dim1));
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
