// Shape operations of CpuStorage. Each returns a new storage; the input is
// never changed.
#pragma once

#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka::storage_ops {

// Row-major reshape of a standard-layout storage: ValueError
// "Error while reshape: ShapeError/..." otherwise.
Result<CpuStorage> reshape(const CpuStorage& x, const Dims& shape);
// Copy with two axes swapped (strides swapped, no element moves). IndexError
// for an axis at or past the rank (dim0 checked first).
Result<CpuStorage> transpose(const CpuStorage& x, std::size_t dim0, std::size_t dim1);
// Standard-layout storages of x's shape and type.
CpuStorage zeros_like(const CpuStorage& x);
CpuStorage ones_like(const CpuStorage& x);

}  // namespace vorka::storage_ops
