#include <gtest/gtest.h>

#include <cstddef>

#include "engine/cpu/numeric/ops/matmul.hpp"

namespace {

using vorka::Dims;
using vorka::ErrorKind;
using vorka::NdArray;

template <class T>
class MatmulTyped : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, vorka::f16, vorka::bf16>;
TYPED_TEST_SUITE(MatmulTyped, ElementTypes);

// A result beyond the size limit is an error value of the Memory kind (the
// Python layer raises MemoryError), never an exception or an internal error;
// the shape checks still come first.
TYPED_TEST(MatmulTyped, OversizeResultIsAMemoryErrorValue) {
    const std::size_t huge = std::size_t{1} << 40, big = std::size_t{1} << 30;
    struct Case {
        Dims a, b;
        ErrorKind kind;
    };
    const Case cases[] = {
        {{huge, 0}, {0, huge}, ErrorKind::Memory},         // beyond the size limit
        {{big, 1, 0}, {big, 0, big}, ErrorKind::Memory},   // within it, beyond any address space
        {{2, huge, 0}, {3, 0, huge}, ErrorKind::Runtime},  // batch [2] vs [3] comes first
    };
    for (const Case& c : cases) {
        auto a = NdArray<TypeParam>::uninit(c.a), b = NdArray<TypeParam>::uninit(c.b);
        auto r = vorka::kernels::MatmulOps<TypeParam>::do_matmul(a.view(), b.view());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, c.kind) << r.error().message;
    }
}

}  // namespace
