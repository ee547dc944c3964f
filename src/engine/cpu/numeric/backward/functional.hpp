// Gradient kernel of ReLU.
#pragma once

#include "strided/ndarray.hpp"
#include "support/result.hpp"

namespace vorka::numeric::backward {

// g where x > 0, +0 elsewhere (x = +-0 and NaN give 0); g and x of one shape.
template <class T>
Result<NdArray<T>> relu_backward(const NdView<T>& g, const NdView<T>& x);

}  // namespace vorka::numeric::backward
