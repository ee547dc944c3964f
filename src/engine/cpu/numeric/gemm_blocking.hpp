// Every block size of the product kernels and every size threshold that picks
// a path, in one place: the forward product, the gradients and the tests
// (which derive their block-edge shapes from these) all read them here.
#pragma once

#include <cstddef>

namespace vorka::gemm::blocking {

// k per block of the packed float32/float16 kernels. Each C tile is reloaded
// once per block, so longer blocks pay off while a tile's rows of A stay in
// L1 (512: 2-4% faster than 256 at n = 1024-2048, AVX2 and AVX-512 alike). A
// float16 result is rounded as stored only within one block of k (no float32
// partial sums kept).
inline constexpr size_t kPackedKC = 512;
// k per packed B chunk of the small kernels.
inline constexpr size_t kKC = 256;
// Sums longer than this are split in halves, computed apart and added.
inline constexpr size_t kLongK = 4096;
// Columns per packed B block: a block of twice L2's size, between this many
// panels and kMaxNc. The B block streams past one row panel of A (in L1) at a
// time, from L2 and L3 alike; fewer, wider blocks mean fewer passes over A
// (read once per block), which paid more than keeping B within L2: 1024 columns
// measured up to 9% faster than 256 (half of L2; 2-5% on most shapes) on a
// 1 MiB-L2 CPU, AVX2 and AVX-512 alike, 2048 level with 1024.
inline constexpr size_t kNcL2Multiple = 2;
inline constexpr size_t kMinNcPanels = 8;
inline constexpr size_t kMaxNc = 4096;
// L2 bytes to assume when the C library cannot tell (1 MiB: common to recent
// x86 cores; a larger L2 only makes the B block smaller than it could be).
inline constexpr long kFallbackL2 = 1L << 20;

// Register tiles (rows x columns) and rows per packed A block of the packed
// float32/float16 kernels. A packed or widened A block (mc x kPackedKC floats)
// shares L2 with the B block: at most 512 KiB.
struct Tile {
    size_t mr, nr, mc;
};
inline constexpr Tile kPackedAvx512{8, 32, 128};
inline constexpr Tile kPackedAvx2{6, 16, 16 * 6};
inline constexpr Tile kPackedPortable{6, 8, 16 * 6};
// The bfloat16 kernel packs pairs of k: its own k block (even) and B block,
// row blocks and a taller tile for A read in place.
inline constexpr Tile kBf16Packed{8, 32, 128};
inline constexpr Tile kBf16Direct{12, 32, 10 * 12};
inline constexpr size_t kBf16KC = 512;
inline constexpr size_t kBf16NC = 1024;

// float32: below this many multiply-adds the packing of a cache-blocked
// product loses to register blocking alone.
inline constexpr double kPackedMinWork = 0x1p21;
// Without AVX2 the packed kernel from this many (its small kernel is a plain
// loop).
inline constexpr double kPortablePackedMinWork = 0x1p12;
// ... and beyond this k the packed kernel wins whatever the other sides.
inline constexpr size_t kPackedMinK = 2048;
// The small kernels re-read one operand per register tile; they stay ahead
// while it stays within about twice L2 (floats).
inline constexpr double kSmallReread = 0x1p19;
// AVX2's small kernel reads B in place, 16 columns at a time, re-reading all
// of A for each strip: its speed depends on where A, B and C fall in the
// physically indexed L2 (on a 1 MiB L2, 256^3 ran at 112 GFLOP/s for most
// placements and at 81-88 for some), and its caches thrash on wide B whose
// rows lie a power of two apart. It keeps only thin products: at most this
// many rows, columns and this long a sum (measured over m, n, k from 64 to
// 1024 with several placements each: from 128 rows on the packed kernel was
// level or up to 20% faster, at 64 rows up to 15% slower).
inline constexpr size_t kAvx2SmallMaxRows = 64, kAvx2SmallMaxCols = 512, kAvx2SmallMaxK = 1024;

// float16: the packed kernel when the product has this much work and every
// side is at least this long (narrower matrices waste most of its tile);
// smaller ones are widened and go to the float32 small kernels.
inline constexpr double kF16MinWork = 0x1p18;
inline constexpr size_t kF16MinSide = 8;

// A 16-bit result with sums longer than its kernel's k block (kPackedKC, kBf16KC)
// is computed in bands of columns whose float32 partial sums take about this
// many floats (8 MiB).
inline constexpr size_t kRoundedBandFloats = size_t{1} << 21;

// bfloat16: the dot-product kernel from this much work and these sides.
inline constexpr double kBf16MinWork = 0x1p15;
inline constexpr size_t kBf16MinRows = 8, kBf16MinCols = 8, kBf16MinInner = 8;

}  // namespace vorka::gemm::blocking
