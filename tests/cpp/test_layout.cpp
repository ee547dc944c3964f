// Layout rules of strided arrays the Python suite reaches only in part:
// the classification of every layout, reshape, sizes.
#include <gtest/gtest.h>

#include "common.hpp"
#include "strided/buffer.hpp"
#include "strided/layout.hpp"
#include "strided/ndarray.hpp"
#include "support/checked.hpp"

using namespace vorka;

namespace {

Strides S(std::initializer_list<std::ptrdiff_t> v) { return Strides(v); }
Dims D(std::initializer_list<std::size_t> v) { return Dims(v); }

NdArray<float> zeros(Dims shape) { return NdArray<float>::from_elem(std::move(shape), 0.0f); }

// Each (shape, strides) pair classified by every rule: row-major, column-major,
// contiguous in some order, and the layout flags (C=1, F=2, prefer C=4, prefer F=8).
TEST(Layout, Classification) {
    const struct {
        Dims shape;
        Strides strides;
        bool standard, column, contiguous;
        int flags;
    } cases[] = {
        {D({}), S({}), true, true, true, 15}, {D({5}), S({1}), true, true, true, 15},
        {D({1}), S({7}), true, true, true, 15}, {D({0}), S({5}), true, true, true, 15},
        {D({4}), S({2}), false, false, false, 0}, {D({4}), S({-1}), false, false, true, 0},
        {D({1, 4}), S({4, 1}), true, true, true, 15}, {D({3, 1}), S({1, 3}), true, true, true, 15},
        {D({2, 3}), S({3, 1}), true, false, true, 5}, {D({2, 1, 3}), S({3, 3, 1}), true, false, true, 5},
        {D({3, 2}), S({1, 3}), false, true, true, 10}, {D({2, 3, 4}), S({1, 2, 6}), false, true, true, 10},
        {D({3, 2, 4}), S({4, 12, 1}), false, false, true, 4},                                  // axes 0, 1 swapped
        {D({2, 3}), S({6, 1}), false, false, false, 4}, {D({4, 3}), S({1, 8}), false, false, false, 8},  // gaps
        {D({2, 3}), S({0, 1}), false, false, false, 4}, {D({2, 3}), S({1, 0}), false, false, false, 8},  // broadcast
        {D({2, 3}), S({0, 0}), false, false, false, 0},
        // unit stride on an extent-1 axis
        {D({1, 3}), S({1, 2}), false, false, false, 0}, {D({3, 1}), S({2, 1}), false, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_EQ(is_standard_layout(c.shape, c.strides), c.standard);
        EXPECT_EQ(is_column_major(c.shape, c.strides), c.column);
        EXPECT_EQ(is_contiguous(c.shape, c.strides), c.contiguous);
        EXPECT_EQ(array_layout(c.shape, c.strides), c.flags);
    }
    EXPECT_EQ(layout_tendency(layout::FORDER | layout::FPREFER), -2);
    EXPECT_EQ(layout_tendency(15), 0);
}

// Reshape and swap messages are the Python suite's; these cases it cannot build.
TEST(NdArray, ReshapeKeepsLayoutAndRefusesBadBuffers) {
    auto ok = zeros(D({2, 3})).into_shape(D({3, 2}));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->strides(), S({2, 1}));
    auto row = zeros(D({1, 3}));  // a swapped extent-1 axis stays reshapeable
    ASSERT_TRUE(row.swap_axes(0, 1).ok());
    EXPECT_TRUE(std::move(row).into_shape(D({3})).ok());
    auto one = zeros(D({})).into_shape(D({1, 1}));
    ASSERT_TRUE(one.ok());
    EXPECT_TRUE(std::move(*one).into_shape(D({})).ok());
    auto empty = zeros(D({0, 3}));
    EXPECT_EQ(empty.strides(), S({0, 0}));
    EXPECT_EQ(empty.copy().into_shape(D({3, 0}))->strides(), S({0, 0}));
    EXPECT_FALSE(empty.copy().into_shape(D({5})).ok());
    float v[4] = {};
    for (auto [shape, message] : {std::pair{D({5}), "OutOfBounds: out of bounds indexing"},
                                  {D({3}), "IncompatibleShape: incompatible shapes"},
                                  {D({SIZE_MAX, 2}), "Overflow: arithmetic overflow"}})
        EXPECT_EQ(NdArray<float>::from_shape_vec(shape, v, 4).error().message, std::string("ShapeError/") + message);
    EXPECT_EQ(*broadcast_strides(D({2, 1}), S({1, 1}), D({2, 4})), S({1, 0}));
    EXPECT_FALSE(broadcast_strides(D({1, 3}), S({3, 1}), D({3})));  // never drops an axis, even of extent 1
    EXPECT_FALSE(broadcast_strides(D({1}), S({1}), D({SIZE_MAX / 2, 4})));
}

// A count that becomes a byte size fails cleanly when the size does not fit,
// instead of wrapping to a small block that is then written past.
TEST(Sizes, OverflowIsRefusedNotWrapped) {
    constexpr std::size_t kBig = std::size_t{1} << 62;
    EXPECT_EQ(checked_mul(SIZE_MAX / 2, 2), SIZE_MAX - 1);
    EXPECT_FALSE(checked_mul(SIZE_MAX / 2 + 1, 2));
    EXPECT_EQ(checked_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_FALSE(checked_add(SIZE_MAX, 1));
    EXPECT_EQ(checked_round_up(65, 64), 128u);
    EXPECT_FALSE(checked_round_up(SIZE_MAX - 2, 64));
    EXPECT_EQ(alloc_bytes(3, 4), 12u);
    EXPECT_THROW(alloc_bytes(kBig, 8), std::bad_alloc);                 // wraps to 0
    EXPECT_THROW(alloc_bytes(PTRDIFF_MAX / 4 + 1, 4), std::bad_alloc);  // fits size_t, not an object
    EXPECT_THROW(alloc_add(PTRDIFF_MAX, 1), std::bad_alloc);
    Dims d{1, 2};
    EXPECT_THROW(d.reserve(kBig), std::bad_alloc);
    EXPECT_EQ(d, D({1, 2}));
    EXPECT_THROW(Dims(SIZE_MAX / 4), std::bad_alloc);
    EXPECT_THROW(RawBuffer(SIZE_MAX - 100), std::bad_alloc);             // huge-page rounding would wrap
    EXPECT_THROW(NdArray<float>::uninit(D({kBig, 2})), std::bad_alloc);  // count fits, bytes do not
    EXPECT_THROW(NdArray<float>::uninit(D({kBig, 8})), std::bad_alloc);  // neither fits
    for (std::size_t i = 2; i < 9; ++i) d.push_back(i);  // spills to the heap
    Dims copy = d, moved = std::move(d);
    EXPECT_EQ(copy, moved);
    EXPECT_EQ(moved[8], 8u);
    EXPECT_TRUE(d.empty());
}

}  // namespace
