// Reads one element past a three-element array: a buffer that small would
// live inline in a normal build, where no sanitizer could see the read. Built
// only with the sanitizers, which allocate every buffer at its exact size; the
// sanitizer run fails unless AddressSanitizer reports this read.
#include <cstdio>

#include "strided/ndarray.hpp"

int main(int argc, char**) {
    auto a = vorka::NdArray<float>::from_elem(vorka::Dims{static_cast<std::size_t>(2 + argc)}, 1.0f);
    volatile float past = a.data()[a.size()];
    std::printf("read %g past the end without a report\n", static_cast<double>(past));
    return 0;
}
