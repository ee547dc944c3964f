#include "engine/cpu/numeric/backward/functional.hpp"

#include <string>

#include "engine/cpu/simd/loops.hpp"
#include "strided/iter.hpp"

namespace vorka::numeric::backward {

template <class T>
Result<NdArray<T>> relu_backward(const NdView<T>& g, const NdView<T>& x) {
    if (!(g.shape == x.shape))
        return Error::runtime(shape_mismatch_text("relu_backward", g.shape, "input", x.shape));
    return zip_collect<T>(g, x, [](const T* pg, std::ptrdiff_t sg, const T* px, std::ptrdiff_t sx, T* out,
                                   std::size_t n) { simd::relu_backward<T>(pg, sg, px, sx, out, n); });
}

#define VORKA_INSTANTIATE(T) template Result<NdArray<T>> relu_backward<T>(const NdView<T>&, const NdView<T>&);
VORKA_FLOAT_TYPES(VORKA_INSTANTIATE)
#undef VORKA_INSTANTIATE

}  // namespace vorka::numeric::backward
