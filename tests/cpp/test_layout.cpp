// Layout rules of strided arrays: strides, contiguity tests, flags, reshape,
// broadcasting and the memory order of map / zip results.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "strided/buffer.hpp"
#include "strided/iter.hpp"
#include "strided/layout.hpp"
#include "strided/ndarray.hpp"
#include "support/checked.hpp"

using namespace vorka;

namespace {

Strides S(std::initializer_list<std::ptrdiff_t> v) { return Strides(v); }
Dims D(std::initializer_list<std::size_t> v) { return Dims(v); }

NdArray<float> iota_array(Dims shape) {
    auto n = checked_size(shape).value();
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), 0.0f);
    return NdArray<float>::from_shape_vec(std::move(shape), v.data(), v.size()).value();
}

struct StridesCase {
    Dims shape;
    Strides c, f;
};

class DefaultStrides : public ::testing::TestWithParam<StridesCase> {};

TEST_P(DefaultStrides, MatchRowAndColumnMajorRules) {
    const auto& p = GetParam();
    EXPECT_EQ(default_strides(p.shape), p.c);
    EXPECT_EQ(fortran_strides(p.shape), p.f);
    EXPECT_TRUE(is_standard_layout(p.shape, p.c));
    EXPECT_TRUE(is_contiguous(p.shape, p.c));
    EXPECT_TRUE(is_contiguous(p.shape, p.f));
    if (p.shape.size() >= 2) {
        EXPECT_TRUE(is_column_major(p.shape, p.f));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranks0To5, DefaultStrides,
    ::testing::Values(StridesCase{D({}), S({}), S({})}, StridesCase{D({5}), S({1}), S({1})},
                      StridesCase{D({2, 3}), S({3, 1}), S({1, 2})},
                      StridesCase{D({2, 3, 4}), S({12, 4, 1}), S({1, 2, 6})},
                      StridesCase{D({2, 0, 3}), S({0, 0, 0}), S({0, 0, 0})},
                      StridesCase{D({2, 1, 3}), S({3, 3, 1}), S({1, 2, 2})},
                      StridesCase{D({2, 3, 4, 5}), S({60, 20, 5, 1}), S({1, 2, 6, 24})},
                      StridesCase{D({2, 1, 3, 1, 2}), S({6, 6, 2, 2, 1}), S({1, 2, 2, 6, 6})}));

TEST(Layout, ContiguityOfPermutedAndStridedArrays) {
    // Transposed rank 2: contiguous in memory, column-major, not standard.
    EXPECT_FALSE(is_standard_layout(D({3, 2}), S({1, 3})));
    EXPECT_TRUE(is_column_major(D({3, 2}), S({1, 3})));
    EXPECT_TRUE(is_contiguous(D({3, 2}), S({1, 3})));
    // Extent-1 axes are skipped whatever their stride.
    EXPECT_TRUE(is_standard_layout(D({3, 1}), S({1, 3})));
    // Axes 0 and 1 of a rank-3 array swapped: contiguous but neither C nor F.
    EXPECT_FALSE(is_standard_layout(D({3, 2, 4}), S({4, 12, 1})));
    EXPECT_FALSE(is_column_major(D({3, 2, 4}), S({4, 12, 1})));
    EXPECT_TRUE(is_contiguous(D({3, 2, 4}), S({4, 12, 1})));
    // Gaps are not contiguous.
    EXPECT_FALSE(is_contiguous(D({2, 3}), S({6, 1})));
    EXPECT_FALSE(is_contiguous(D({4}), S({2})));
    EXPECT_TRUE(is_contiguous(D({4}), S({-1})));
    EXPECT_TRUE(is_contiguous(D({1}), S({7})));
}

TEST(Layout, FlagsAndTendency) {
    using namespace layout;
    EXPECT_EQ(array_layout(D({}), S({})), 15);
    EXPECT_EQ(array_layout(D({4}), S({1})), 15);
    EXPECT_EQ(array_layout(D({1, 4}), S({4, 1})), 15);
    EXPECT_EQ(array_layout(D({2, 3}), S({3, 1})), CORDER | CPREFER);
    EXPECT_EQ(array_layout(D({3, 2}), S({1, 3})), FORDER | FPREFER);
    EXPECT_EQ(array_layout(D({2, 3}), S({0, 1})), CPREFER);  // broadcast rows
    EXPECT_EQ(array_layout(D({2, 3}), S({1, 0})), FPREFER);
    EXPECT_EQ(array_layout(D({2, 3}), S({0, 0})), 0);
    EXPECT_EQ(array_layout(D({4}), S({2})), 0);
    EXPECT_EQ(layout_tendency(FORDER | FPREFER), -2);
    EXPECT_EQ(layout_tendency(15), 0);
}

TEST(NdArray, ReshapeRules) {
    auto a = iota_array(D({2, 3}));
    auto ok = std::move(a).into_shape(D({3, 2}));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->strides(), S({2, 1}));

    auto bad = iota_array(D({2, 3}));
    auto r = std::move(bad).into_shape(D({4}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "ShapeError/IncompatibleShape: incompatible shapes");

    auto t = iota_array(D({2, 3}));
    ASSERT_TRUE(t.swap_axes(0, 1).ok());
    EXPECT_EQ(t.shape(), D({3, 2}));
    EXPECT_EQ(t.strides(), S({1, 3}));
    auto r2 = std::move(t).into_shape(D({6}));
    ASSERT_FALSE(r2.ok());
    EXPECT_EQ(r2.error().message, "ShapeError/IncompatibleLayout: incompatible memory layout");

    // A swapped extent-1 axis keeps the array reshapeable.
    auto row = iota_array(D({1, 3}));
    ASSERT_TRUE(row.swap_axes(0, 1).ok());
    EXPECT_TRUE(std::move(row).into_shape(D({3})).ok());

    // Rank 0 and empty arrays.
    auto scalar = iota_array(D({}));
    auto one = std::move(scalar).into_shape(D({1, 1}));
    ASSERT_TRUE(one.ok());
    EXPECT_TRUE(std::move(*one).into_shape(D({})).ok());
    auto empty = NdArray<float>::from_elem(D({0, 3}), 0.0f);
    EXPECT_EQ(empty.strides(), S({0, 0}));
    EXPECT_EQ(empty.copy().into_shape(D({3, 0}))->strides(), S({0, 0}));
    EXPECT_FALSE(empty.copy().into_shape(D({5})).ok());
}

TEST(NdArray, SwapAxesOutOfRangeNamesRankAndIndex) {
    auto a = iota_array(D({2, 3}));
    auto r = a.swap_axes(0, 5);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "index out of bounds: the len is 2 but the index is 5");
    EXPECT_EQ(a.swap_axes(7, 9).error().message, "index out of bounds: the len is 2 but the index is 7");
}

TEST(NdArray, FromShapeVecErrors) {
    float v[4] = {};
    EXPECT_EQ(NdArray<float>::from_shape_vec(D({5}), v, 4).error().message,
              "ShapeError/OutOfBounds: out of bounds indexing");
    EXPECT_EQ(NdArray<float>::from_shape_vec(D({3}), v, 4).error().message,
              "ShapeError/IncompatibleShape: incompatible shapes");
    EXPECT_EQ(NdArray<float>::from_shape_vec(D({SIZE_MAX, 2}), v, 4).error().message,
              "ShapeError/Overflow: arithmetic overflow");
}

TEST(Broadcast, StridesOfViews) {
    EXPECT_EQ(*broadcast_strides(D({3}), S({1}), D({2, 3})), S({0, 1}));
    EXPECT_EQ(*broadcast_strides(D({2, 1}), S({1, 1}), D({2, 4})), S({1, 0}));
    EXPECT_FALSE(broadcast_strides(D({3}), S({1}), D({2, 4})));
    EXPECT_FALSE(broadcast_strides(D({2, 3}), S({3, 1}), D({3})));
    EXPECT_FALSE(broadcast_strides(D({1}), S({1}), D({SIZE_MAX / 2, 4})));
}

TEST(Broadcast, Shapes) {
    EXPECT_EQ(broadcast_shapes(D({2, 3}), D({3})).shape, D({2, 3}));
    EXPECT_EQ(broadcast_shapes(D({4, 1, 5}), D({3, 1})).shape, D({4, 3, 5}));
    EXPECT_EQ(broadcast_shapes(D({}), D({2, 3})).shape, D({2, 3}));
    EXPECT_EQ(broadcast_shapes(D({0}), D({1})).shape, D({0}));
    EXPECT_EQ(broadcast_shapes(D({0}), D({3})).error, "Shape mismatch: cannot broadcast [0] and [3]");
    EXPECT_EQ(broadcast_shapes(D({2, 3}), D({2})).error, "Shape mismatch: cannot broadcast [2, 3] and [2]");
}

// Sum of two views through zip_collect, checked element by element in logical order.
NdArray<float> zip_add(const NdView<float>& a, const NdView<float>& b) {
    return zip_collect<float>(a, b, [](const float* x, std::ptrdiff_t sx, const float* y, std::ptrdiff_t sy,
                                        float* o, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) o[i] = x[std::ptrdiff_t(i) * sx] + y[std::ptrdiff_t(i) * sy];
    });
}

float at(const NdArray<float>& a, std::initializer_list<std::size_t> idx) {
    std::ptrdiff_t off = 0;
    std::size_t k = 0;
    for (auto i : idx) off += std::ptrdiff_t(i) * a.strides()[k++];
    return a.data()[off];
}

TEST(Iteration, MapKeepsStridesOfContiguousInput) {
    auto t = iota_array(D({2, 3}));
    ASSERT_TRUE(t.swap_axes(0, 1).ok());
    auto m = map_collect<float>(t.view(), [](const float* x, std::ptrdiff_t s, float* o, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) o[i] = 2 * x[std::ptrdiff_t(i) * s];
    });
    EXPECT_EQ(m.strides(), S({1, 3}));
    EXPECT_EQ(at(m, {2, 1}), 2 * at(t, {2, 1}));
}

TEST(Iteration, ZipChoosesOutputOrder) {
    auto a = iota_array(D({2, 3}));
    auto b = iota_array(D({2, 3}));
    ASSERT_TRUE(a.swap_axes(0, 1).ok());
    ASSERT_TRUE(b.swap_axes(0, 1).ok());
    auto std32 = iota_array(D({3, 2}));
    EXPECT_EQ(zip_add(a.view(), b.view()).strides(), S({1, 3}));
    auto mixed = zip_add(a.view(), std32.view());
    EXPECT_EQ(mixed.strides(), S({2, 1}));
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(at(mixed, {i, j}), at(a, {i, j}) + at(std32, {i, j}));
    // Transposed [3, 2] with a broadcast [2]: flags cancel, tendency -1 -> column-major.
    auto row = iota_array(D({2}));
    auto bview = row.view().broadcast(D({3, 2}));
    ASSERT_TRUE(bview);
    auto r = zip_add(a.view(), *bview);
    EXPECT_EQ(r.strides(), S({1, 3}));
    EXPECT_EQ(at(r, {2, 1}), at(a, {2, 1}) + 1.0f);
}

TEST(Iteration, ZipOverRank5WithBroadcastAndTranspose) {
    auto a = iota_array(D({2, 3, 1, 4, 2}));
    ASSERT_TRUE(a.swap_axes(1, 3).ok());  // shape (2, 4, 1, 3, 2)
    auto b = iota_array(D({3, 1}));
    auto bv = b.view().broadcast(a.shape());
    ASSERT_TRUE(bv);
    auto r = zip_add(a.view(), *bv);
    ASSERT_EQ(r.shape(), D({2, 4, 1, 3, 2}));
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 4; ++j)
            for (std::size_t k = 0; k < 3; ++k)
                for (std::size_t l = 0; l < 2; ++l)
                    EXPECT_EQ(at(r, {i, j, 0, k, l}), at(a, {i, j, 0, k, l}) + float(k));
}

TEST(Iteration, StandardLayoutCopyOfStridedView) {
    auto a = iota_array(D({2, 3, 4}));
    ASSERT_TRUE(a.swap_axes(0, 2).ok());
    auto c = to_standard_layout(a.view());
    EXPECT_EQ(c.strides(), S({6, 2, 1}));
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(at(c, {i, j, k}), at(a, {i, j, k}));
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
    EXPECT_THROW(alloc_bytes(kBig, 8), std::bad_alloc);  // wraps to 0
    EXPECT_THROW(alloc_bytes(PTRDIFF_MAX / 4 + 1, 4), std::bad_alloc);  // fits size_t, not an object
    EXPECT_THROW(alloc_add(PTRDIFF_MAX, 1), std::bad_alloc);
    Dims d{1, 2};
    EXPECT_THROW(d.reserve(kBig), std::bad_alloc);
    EXPECT_EQ(d, D({1, 2}));
    EXPECT_THROW(Dims(SIZE_MAX / 4), std::bad_alloc);
    EXPECT_THROW(RawBuffer(SIZE_MAX - 100), std::bad_alloc);  // huge-page rounding would wrap
    EXPECT_THROW(NdArray<float>::uninit(D({kBig, 2})), std::bad_alloc);  // count fits, bytes do not
    EXPECT_THROW(NdArray<float>::uninit(D({kBig, 8})), std::bad_alloc);  // neither fits
}

TEST(SmallVec, SpillsToHeapBeyondFourAndCopies) {
    Dims d;
    for (std::size_t i = 0; i < 9; ++i) d.push_back(i);
    Dims copy = d;
    Dims moved = std::move(d);
    EXPECT_EQ(copy, moved);
    EXPECT_EQ(moved[8], 8u);
    EXPECT_TRUE(d.empty());
}

// Blocks around the sizes where buffers move from the C allocator to mapped,
// recycled blocks (and to huge pages): live blocks never share memory, also
// after released ones have been handed out again, and keep their contents.
TEST(RawBuffer, RecycledBlocksAreDistinctAndKeepTheirBytes) {
    const std::size_t sizes[] = {(256u << 10) - 1, 256u << 10, (256u << 10) + 1, 300u << 10,
                                 (4u << 20) - 1,   4u << 20,   (4u << 20) + 1};
    constexpr std::size_t kSizes = sizeof(sizes) / sizeof(sizes[0]);
    for (int round = 0; round < 3; ++round) {
        std::vector<RawBuffer> live;  // two of each size
        for (std::size_t i = 0; i < 2 * kSizes; ++i) live.emplace_back(sizes[i % kSizes]);
        for (std::size_t i = 0; i < live.size(); ++i) {
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(live[i].data()) % 64, 0u);
            std::memset(live[i].data(), static_cast<int>(i + 1), sizes[i % kSizes]);
        }
        for (std::size_t i = 0; i < live.size(); ++i) {
            const auto* b = static_cast<const unsigned char*>(live[i].data());
            EXPECT_EQ(b[0], i + 1) << i;
            EXPECT_EQ(b[sizes[i % kSizes] - 1], i + 1) << i;
        }
    }
}

}  // namespace
