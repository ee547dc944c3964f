// ReLU of a storage.
#pragma once

#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka::storage_ops {

// The element where it is positive, +0 elsewhere; TypeError for Bool.
Result<CpuStorage> relu(const CpuStorage& x);

}  // namespace vorka::storage_ops
