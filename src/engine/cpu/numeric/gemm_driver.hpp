// The packed, cache-blocked product, written once over small kernel traits.
// A KC x NC block of B is packed into NR-column panels (kept in L2) that
// stream past one MR-row panel of A at a time (kept in L1). float32 rows of A
// that run along k are read in place; float16 ones are widened into a
// row-major block; other layouts of A are packed into MR-row panels. Each
// element of C is one multiply-add chain in k order, resumed across k blocks
// (C is reloaded, not added to), so every kernel that fuses multiply and add
// gives the same bits whatever its tile shape.
//
// Include only from the translation unit of one instruction set: everything
// here has internal linkage, so each unit keeps the copy compiled for it.
//
// A kernel traits type K provides:
//   MR, NR, MC           register tile rows and columns, rows per A block
//   kEdgesInPlace        whether kernel() writes partial tiles itself
//   widen(src, n, dst, width)   dst[0, width) = src[0, n) widened, zeros past n
//   widen1(x)            one element widened
//   transpose8(src, ls, dst, ld)  dst[p * ld + r] = src[r * ls + p], 8 x 8
//   kernel(kb, a, ars, acs, bp, c, rsc, mb, nb, load)
//                        C[0, mb) x [0, nb) (columns contiguous, rows rsc
//                        apart) = C when `load`, else 0, plus kb steps of A
//                        (element (r, p) at r * ars + p * acs; rows from mb
//                        on are never read) times the packed B panel. Without
//                        kEdgesInPlace it may write the whole MR x NR tile.
//   narrow(t, h, cs, n)  h[j * cs] = t[j] rounded to float16, j < n
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <unistd.h>

#include "engine/cpu/numeric/gemm_blocking.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"

namespace vorka::gemm::detail {
namespace {

template <class K>
struct Packed {
    static constexpr size_t MR = K::MR, NR = K::NR, MC = K::MC, KC = blocking::kKC;

    // Columns per packed B block: the block stays in L2 while A's rows pass
    // it, together with A's panels and C's tiles, so it takes half of L2 as
    // the C library reads it from the CPU.
    static size_t nc_block() {
        static const size_t nc = [] {
            long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
            if (l2 <= 0) l2 = blocking::kFallbackL2;
            const size_t cols = static_cast<size_t>(l2) / 2 / (KC * sizeof(float));
            return std::clamp<size_t>(cols / NR * NR, blocking::kMinNcPanels * NR, blocking::kMaxNc);
        }();
        return nc;
    }

    // Packs `lines` lines of `kb` elements (element p of line i at i * ls +
    // p * es) into panels of `width` lines: panel q holds rows p of `width`
    // floats, dst[q * width * kb + p * width + r] = line q * width + r (zero
    // past `lines`). Lines contiguous along k are transposed 8 x 8 at a time;
    // with ls == 1 each k step is one contiguous run across all panels, read
    // in order so that the hardware prefetcher keeps up.
    template <class S>
    static void pack(const S* src, ptrdiff_t ls, ptrdiff_t es, size_t lines, size_t kb, size_t width, float* dst) {
        const size_t panels = (lines + width - 1) / width;
        if (ls == 1) {
            for (size_t p = 0; p < kb; ++p) {
                const S* s = src + static_cast<ptrdiff_t>(p) * es;
                for (size_t q = 0; q < panels; ++q)
                    K::widen(s + q * width, std::min(width, lines - q * width), dst + q * width * kb + p * width,
                             width);
            }
            return;
        }
        for (size_t q = 0; q < panels; ++q) {
            const S* s = src + static_cast<ptrdiff_t>(q * width) * ls;
            float* d = dst + q * width * kb;
            const size_t n = std::min(width, lines - q * width);
            size_t r0 = 0;
            if (es == 1) {
                for (; r0 + 8 <= n; r0 += 8) {
                    const S* sr = s + static_cast<ptrdiff_t>(r0) * ls;
                    size_t p = 0;
                    for (; p + 8 <= kb; p += 8)
                        K::transpose8(sr + p, ls, d + p * width + r0, static_cast<ptrdiff_t>(width));
                    for (; p < kb; ++p)
                        for (size_t r = 0; r < 8; ++r)
                            d[p * width + r0 + r] =
                                K::widen1(sr[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p)]);
                }
            }
            for (size_t p = 0; p < kb; ++p)
                for (size_t r = r0; r < width; ++r)
                    d[p * width + r] =
                        r < n ? K::widen1(s[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p) * es]) : 0.0f;
        }
    }

    // Row i of the rows x kb block at src (rows ls apart, unit stride along
    // k) widened to dst + i * kb.
    template <class S>
    static void widen_rows(const S* src, ptrdiff_t ls, size_t rows, size_t kb, float* dst) {
        for (size_t i = 0; i < rows; ++i, src += ls, dst += kb)
            for (size_t p = 0; p < kb; p += 8 * MR) {
                const size_t n = std::min(8 * MR, kb - p);
                K::widen(src + p, n, dst + p, n);
            }
    }

    template <class S>
    static void prefetch_rows(const S* src, ptrdiff_t ls, size_t rows, size_t bytes) {
        for (size_t r = 0; r < rows; ++r) {
            const char* row = reinterpret_cast<const char*>(src + static_cast<ptrdiff_t>(r) * ls);
            for (size_t b = 0; b < bytes; b += 64) __builtin_prefetch(row + b, 0, 3);
            __builtin_prefetch(row + bytes - 1, 0, 3);
        }
    }

    // One mb x nb tile of C at any strides, in place where the kernel can
    // write it, else through an L1 buffer. `h` (not null): rounded to float16
    // as stored instead (k in one block, so C starts at zero).
    static void tile(size_t kb, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* bp, float* c,
                     uint16_t* h, ptrdiff_t rsc, ptrdiff_t csc, size_t mb, size_t nb, bool load) {
        if (!h && csc == 1 && (K::kEdgesInPlace || (mb == MR && nb == NR))) {
            K::kernel(kb, a, ars, acs, bp, c, rsc, mb, nb, load);
            return;
        }
        alignas(64) float t[MR * NR];
        if (load) {
            std::memset(t, 0, sizeof t);
            for (size_t r = 0; r < mb; ++r)
                for (size_t j = 0; j < nb; ++j)
                    t[r * NR + j] = c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc];
        }
        K::kernel(kb, a, ars, acs, bp, t, static_cast<ptrdiff_t>(NR), mb, NR, load);
        for (size_t r = 0; r < mb; ++r) {
            if (h) {
                K::narrow(t + r * NR, h + static_cast<ptrdiff_t>(r) * rsc, csc, nb);
                continue;
            }
            float* cr = c + static_cast<ptrdiff_t>(r) * rsc;
            for (size_t j = 0; j < nb; ++j) cr[static_cast<ptrdiff_t>(j) * csc] = t[r * NR + j];
        }
    }

    // One item of the batch. `a_ready`: A is one block shared by every item
    // and already packed by the first item.
    template <class PR, class S>
    static void product(const PR& P, const S* a, const S* b, float* c, uint16_t* h, float* abuf, float* bbuf,
                        bool a_ready) {
        const size_t NC = nc_block();
        constexpr bool wide = std::is_same_v<S, float>;
        for (size_t jc = 0; jc < P.n; jc += NC) {
            const size_t nc = std::min(NC, P.n - jc);
            for (size_t pc = 0; pc < P.k; pc += KC) {
                const size_t kb = std::min(KC, P.k - pc);
                pack(b + static_cast<ptrdiff_t>(pc) * P.b.rs + static_cast<ptrdiff_t>(jc) * P.b.cs, P.b.cs, P.b.rs, nc,
                     kb, NR, bbuf);
                for (size_t ic = 0; ic < P.m; ic += MC) {
                    const size_t mc = std::min(MC, P.m - ic);
                    const S* ak = a + static_cast<ptrdiff_t>(ic) * P.a.rs + static_cast<ptrdiff_t>(pc) * P.a.cs;
                    // Rows of A that run along k are read in place: the kernel
                    // walks MR of them side by side, which the cache serves as
                    // well as a packed panel. float16 rows are widened into a
                    // row-major block, far cheaper than transposing them.
                    const bool direct = P.a.cs == 1;
                    if (!a_ready) {
                        if (!direct)
                            pack(ak, P.a.rs, P.a.cs, mc, kb, MR, abuf);
                        else if constexpr (!wide)
                            widen_rows(ak, P.a.rs, mc, kb, abuf);
                    }
                    const ptrdiff_t ars = !direct ? 1 : wide ? P.a.rs : static_cast<ptrdiff_t>(kb);
                    const ptrdiff_t acs = direct ? 1 : static_cast<ptrdiff_t>(MR);
                    // The next block of float16 rows is fetched while this one
                    // computes: widening it at once would wait on memory.
                    const bool fetch = !wide && direct && !a_ready && ic + MC < P.m;
                    for (size_t ir = 0; ir < mc; ir += MR) {
                        const float* ap = abuf + ir * kb;
                        if constexpr (wide)
                            if (direct) ap = ak + static_cast<ptrdiff_t>(ir) * P.a.rs;
                        if (fetch)
                            prefetch_rows(ak + static_cast<ptrdiff_t>(MC + ir) * P.a.rs, P.a.rs,
                                          std::min(MR, P.m - std::min(P.m, ic + MC + ir)), kb * sizeof(S));
                        const size_t mb = std::min(MR, mc - ir);
                        const ptrdiff_t row = static_cast<ptrdiff_t>(ic + ir) * P.c.rs;
                        for (size_t jr = 0; jr < nc; jr += NR) {
                            const ptrdiff_t at = row + static_cast<ptrdiff_t>(jc + jr) * P.c.cs;
                            const size_t nb = std::min(NR, nc - jr);
                            // C is revisited once per k block and comes from far
                            // caches by then: ask for the next tile a whole
                            // kernel ahead of its use.
                            if (c && pc > 0 && P.c.cs == 1 && jr + NR < nc)
                                prefetch_rows(c + at + static_cast<ptrdiff_t>(NR), P.c.rs, mb, NR * sizeof(float));
                            tile(kb, ap, ars, acs, bbuf + jr * kb, c ? c + at : nullptr, h ? h + at : nullptr, P.c.rs,
                                 P.c.cs, mb, nb, pc > 0);
                        }
                    }
                }
            }
        }
    }

    template <class PR>
    static void run(const PR& P) {
        packed_batch<MR, NR, MC>(P, nc_block(), [&](auto... item) { product(P, item...); });
    }
};

}  // namespace
}  // namespace vorka::gemm::detail
