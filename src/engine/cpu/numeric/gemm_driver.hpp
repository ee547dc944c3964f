// The packed, cache-blocked product, written once over small kernel traits.
// A KC x NC block of B is packed into NR-column panels (kept in L2) that
// stream past one MR-row panel of A at a time (kept in L1). Rows of A that
// run along k are read in place where the kernel takes their elements as
// they are (float32, bfloat16 pairs); float16 ones are widened into a
// row-major block; other layouts of A are packed into MR-row panels. Each
// element of C is one chain of multiply-adds in k order, resumed across k
// blocks (C is reloaded, not added to), so every kernel of one arithmetic
// gives the same bits whatever its tile shape and blocks.
//
// Include only from the translation unit of one instruction set: everything
// here has internal linkage, so each unit keeps the copy compiled for it.
//
// A kernel traits type K provides:
//   MR, NR, MC           register tile rows and columns, rows per A block
//   kEdgesInPlace        whether kernel() writes partial tiles itself
//   kernel(kw, a, ars, acs, bp, c, rsc, mb, nb, load)
//                        C[0, mb) x [0, nb) (columns contiguous, rows rsc
//                        apart) = C when `load`, else 0, plus kw packed k
//                        steps of A (step p of row r at a + r * ars + p * acs,
//                        in AElem units: floats, or 16-bit for pair kernels;
//                        rows from mb on are never read)
//                        times the packed B panel. Without kEdgesInPlace it
//                        may write the whole MR x NR tile.
//   narrow(t, h, cs, n)  h[j * cs] = t[j] rounded to the 16-bit result type, j < n
//   narrow_kernel<R>(kw, a, ars, acs, bp, h, rsh, mb, nb)  (optional) the
//                        kernel from 0, its tile rounded so into h as stored
// and either, for kernels of float32 lanes (operands widened while packed),
//   widen(src, n, dst, width)   dst[0, width) = src[0, n) widened, zeros past n
//   widen1(x)            one element widened
//   transpose8(src, ls, dst, ld)  dst[p * ld + r] = src[r * ls + p], 8 x 8
// or, for kernels that take kPair consecutive 16-bit elements of k as one
// packed Word (A is then addressed in 16-bit units, AElem):
//   Word, kPair          the packed word, elements per word
//   KC, NC               k per block (a multiple of kPair), columns per B block
//   MRD, MCD             tile rows and rows per block for A read in place, whose
//                        kernel is kernel<MRD>; the packed tile is kernel<MR>
//   pack(src, ls, es, lines, kb, width, dst)
//                        the panels as the widening pack below lays them out, one
//                        word per kPair steps of k (zero past kb); false when a
//                        value is one the kernel cannot take exactly
//   rows_ok(src, ls, rows, kb)  the same verdict for rows of A read in place
// A false verdict abandons the whole product (run() returns false).
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

// Defaults of the traits that only pair kernels set.
template <class K>
constexpr size_t pair_of() {
    if constexpr (requires { K::kPair; }) return K::kPair;
    else return 1;
}
template <class K>
struct word_of {
    using type = float;
};
template <class K>
    requires requires { typename K::Word; }
struct word_of<K> {
    using type = typename K::Word;
};

template <class K>
struct Packed {
    static constexpr size_t kPair = pair_of<K>();
    static constexpr bool kPaired = kPair > 1;
    using Word = typename word_of<K>::type;
    using AElem = std::conditional_t<kPaired, uint16_t, float>;
    static constexpr size_t MR = K::MR, NR = K::NR, MC = K::MC;
    static constexpr size_t KC = [] {
        if constexpr (kPaired) return K::KC;
        else return blocking::kPackedKC;
    }();
    static constexpr size_t MRD = [] {
        if constexpr (kPaired) return K::MRD;
        else return K::MR;
    }();
    static constexpr size_t MCD = [] {
        if constexpr (kPaired) return K::MCD;
        else return K::MC;
    }();
    // A packed word in units of AElem.
    static constexpr ptrdiff_t kWordAElems = sizeof(Word) / sizeof(AElem);
    static_assert(KC % kPair == 0, "k blocks must not split a pair");

    static constexpr size_t words(size_t kb) { return (kb + kPair - 1) / kPair; }

    // Columns per packed B block, from the L2 size the C library reads from
    // the CPU (pair kernels: their own size).
    static size_t nc_block() {
        if constexpr (kPaired) {
            return K::NC;
        } else {
            static const size_t nc = [] {
                long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
                if (l2 <= 0) l2 = blocking::kFallbackL2;
                const size_t cols = static_cast<size_t>(l2) * blocking::kNcL2Multiple / (KC * sizeof(float));
                return std::clamp<size_t>(cols / NR * NR, blocking::kMinNcPanels * NR, blocking::kMaxNc);
            }();
            return nc;
        }
    }

    // Packs `lines` lines of `kb` elements (element p of line i at i * ls +
    // p * es) into panels of `width` lines: panel q holds rows p of `width`
    // words, dst[q * width * kw + p * width + r] = line q * width + r (zero
    // past `lines`). Widening kernels: lines contiguous along k are transposed
    // 8 x 8 at a time; with ls == 1 each k step is one contiguous run across
    // all panels, read in order so that the hardware prefetcher keeps up.
    template <class S>
    static bool pack(const S* src, ptrdiff_t ls, ptrdiff_t es, size_t lines, size_t kb, size_t width, Word* dst) {
        if constexpr (kPaired) {
            return K::pack(src, ls, es, lines, kb, width, dst);
        } else {
            const size_t panels = (lines + width - 1) / width;
            if (ls == 1) {
                for (size_t p = 0; p < kb; ++p) {
                    const S* s = src + static_cast<ptrdiff_t>(p) * es;
                    for (size_t q = 0; q < panels; ++q)
                        K::widen(s + q * width, std::min(width, lines - q * width), dst + q * width * kb + p * width,
                                 width);
                }
                return true;
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
                            r < n ? K::widen1(s[static_cast<ptrdiff_t>(r) * ls + static_cast<ptrdiff_t>(p) * es])
                                  : 0.0f;
            }
            return true;
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

    template <size_t R>
    static void kernel(size_t kw, const AElem* a, ptrdiff_t ars, ptrdiff_t acs, const Word* bp, float* c,
                       ptrdiff_t rsc, size_t mb, size_t nb, bool load) {
        if constexpr (kPaired) K::template kernel<R>(kw, a, ars, acs, bp, c, rsc, mb, nb, load);
        else K::kernel(kw, a, ars, acs, bp, c, rsc, mb, nb, load);
    }

    // One mb x nb tile of C (R rows) at any strides, in place where the
    // kernel can write it, else through an L1 buffer. `h` (not null): rounded
    // to the 16-bit result type as stored instead (k in one block, so C
    // starts at zero).
    template <size_t R>
    static void tile(size_t kw, const AElem* a, ptrdiff_t ars, ptrdiff_t acs, const Word* bp, float* c, uint16_t* h,
                     ptrdiff_t rsc, ptrdiff_t csc, size_t mb, size_t nb, bool load) {
        if (!h && csc == 1 && (K::kEdgesInPlace || (mb == R && nb == NR))) {
            kernel<R>(kw, a, ars, acs, bp, c, rsc, mb, nb, load);
            return;
        }
        if constexpr (requires { &K::template narrow_kernel<R>; }) {
            if (h && csc == 1) {
                K::template narrow_kernel<R>(kw, a, ars, acs, bp, h, rsc, mb, nb);
                return;
            }
        }
        alignas(64) float t[R * NR];
        if (load) {
            std::memset(t, 0, sizeof t);
            for (size_t r = 0; r < mb; ++r)
                for (size_t j = 0; j < nb; ++j)
                    t[r * NR + j] = c[static_cast<ptrdiff_t>(r) * rsc + static_cast<ptrdiff_t>(j) * csc];
        }
        kernel<R>(kw, a, ars, acs, bp, t, static_cast<ptrdiff_t>(NR), mb, NR, load);
        for (size_t r = 0; r < mb; ++r) {
            if (h) {
                K::narrow(t + r * NR, h + static_cast<ptrdiff_t>(r) * rsc, csc, nb);
                continue;
            }
            float* cr = c + static_cast<ptrdiff_t>(r) * rsc;
            for (size_t j = 0; j < nb; ++j) cr[static_cast<ptrdiff_t>(j) * csc] = t[r * NR + j];
        }
    }

    // One item of the batch; false when a block holds a value the kernel
    // cannot take (pair kernels). `a_ready`: A is one block shared by every
    // item and already packed (and checked) by the first item.
    template <class PR, class S>
    static bool product(const PR& P, const S* a, const S* b, float* c, uint16_t* h, Word* abuf, Word* bbuf,
                        bool a_ready) {
        const size_t NC = nc_block();
        constexpr bool wide = std::is_same_v<S, float>;
        for (size_t jc = 0; jc < P.n; jc += NC) {
            const size_t nc = std::min(NC, P.n - jc);
            for (size_t pc = 0; pc < P.k; pc += KC) {
                const size_t kb = std::min(KC, P.k - pc), kw = words(kb);
                if (!pack(b + static_cast<ptrdiff_t>(pc) * P.b.rs + static_cast<ptrdiff_t>(jc) * P.b.cs, P.b.cs,
                          P.b.rs, nc, kb, NR, bbuf))
                    return false;
                // Rows of A that run along k are read in place when the kernel
                // takes their elements as stored (float32; bfloat16 pairs when
                // no pair is cut short), walking MR of them side by side, which
                // the cache serves as well as a packed panel. float16 rows are
                // widened into a row-major block, far cheaper than transposing.
                const bool direct = P.a.cs == 1 && (!kPaired || kb % kPair == 0);
                const bool in_place = direct && std::is_same_v<S, AElem>;
                const size_t mcb = in_place ? MCD : MC;
                for (size_t ic = 0; ic < P.m; ic += mcb) {
                    const size_t mc = std::min(mcb, P.m - ic);
                    const S* ak = a + static_cast<ptrdiff_t>(ic) * P.a.rs + static_cast<ptrdiff_t>(pc) * P.a.cs;
                    if (!a_ready) {
                        if (!direct) {
                            if (!pack(ak, P.a.rs, P.a.cs, mc, kb, MR, abuf)) return false;
                        } else if constexpr (kPaired) {
                            if (!K::rows_ok(ak, P.a.rs, mc, kb)) return false;
                        } else if constexpr (!wide) {
                            widen_rows(ak, P.a.rs, mc, kb, abuf);
                        }
                    }
                    // The next block of rows read directly is fetched while this
                    // one computes: widening or checking it at once would wait
                    // on memory.
                    const bool fetch = !wide && direct && !a_ready && ic + mcb < P.m;
                    auto panel = [&]<size_t R>(size_t ir) {
                        const AElem* ap = reinterpret_cast<const AElem*>(abuf) + static_cast<ptrdiff_t>(ir * kw) * kWordAElems;
                        ptrdiff_t ars = kWordAElems, acs = static_cast<ptrdiff_t>(MR) * kWordAElems;
                        if (direct && !in_place) {
                            ars = static_cast<ptrdiff_t>(kb), acs = 1;  // widened rows
                        } else if constexpr (std::is_same_v<S, AElem>) {
                            if (in_place) {
                                ap = ak + static_cast<ptrdiff_t>(ir) * P.a.rs;
                                ars = P.a.rs, acs = static_cast<ptrdiff_t>(kPair);
                            }
                        }
                        if (fetch)
                            prefetch_rows(ak + static_cast<ptrdiff_t>(mcb + ir) * P.a.rs, P.a.rs,
                                          std::min(R, P.m - std::min(P.m, ic + mcb + ir)), kb * sizeof(S));
                        const size_t mb = std::min(R, mc - ir);
                        const ptrdiff_t row = static_cast<ptrdiff_t>(ic + ir) * P.c.rs;
                        for (size_t jr = 0; jr < nc; jr += NR) {
                            const ptrdiff_t at = row + static_cast<ptrdiff_t>(jc + jr) * P.c.cs;
                            const size_t nb = std::min(NR, nc - jr);
                            // C is revisited once per k block and comes from far
                            // caches by then: ask for the next tile a whole
                            // kernel ahead of its use.
                            if (c && pc > 0 && P.c.cs == 1 && jr + NR < nc)
                                prefetch_rows(c + at + static_cast<ptrdiff_t>(NR), P.c.rs, mb, NR * sizeof(float));
                            tile<R>(kw, ap, ars, acs, bbuf + jr * kw, c ? c + at : nullptr, h ? h + at : nullptr,
                                    P.c.rs, P.c.cs, mb, nb, pc > 0);
                        }
                    };
                    if (in_place && MRD != MR) {
                        for (size_t ir = 0; ir < mc; ir += MRD) panel.template operator()<MRD>(ir);
                    } else {
                        for (size_t ir = 0; ir < mc; ir += MR) panel.template operator()<MR>(ir);
                    }
                }
            }
        }
        return true;
    }

    // The batch loop: per-thread packing buffers; A packed once when every
    // item shares it and fits one block; each small item of B asked for while
    // the previous one is computed, so packing it does not wait. A float32
    // problem carries no 16-bit result; a 16-bit one is written to h when it
    // has one (k within one block), else to C.
    template <class PR>
    static bool run(const PR& P) {
        thread_local PackScratch<Word> abuf, bbuf;
        const size_t NC = nc_block();
        const size_t kw = words(std::min(KC, P.k));
        Word* ap = abuf.get((std::min(MC, P.m) + MR - 1) / MR * MR * kw);
        Word* bp = bbuf.get((std::min(NC, P.n) + NR - 1) / NR * NR * kw);
        const bool shared_a = P.a.bs == 0 && P.m <= MC && P.k <= KC;
        const bool ahead = P.batch > 1 && P.b.bs != 0 && P.b.cs == 1 && P.k * P.n * sizeof(*P.b.p) <= (size_t{1} << 15);
        for (size_t t = 0; t < P.batch; ++t) {
            const ptrdiff_t it = static_cast<ptrdiff_t>(t);
            if (ahead && t + 1 < P.batch)
                for (size_t p = 0; p < P.k; ++p) {
                    const char* row =
                        reinterpret_cast<const char*>(P.b.p + (it + 1) * P.b.bs + static_cast<ptrdiff_t>(p) * P.b.rs);
                    for (size_t off = 0; off < P.n * sizeof(*P.b.p); off += 64) __builtin_prefetch(row + off, 0, 3);
                }
            uint16_t* h = nullptr;
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*P.h)>, uint16_t>)
                if (P.h) h = P.h + it * P.c.bs;
            if (!product(P, P.a.p + it * P.a.bs, P.b.p + it * P.b.bs, h ? nullptr : P.c.p + it * P.c.bs, h, ap, bp,
                         t > 0 && shared_a))
                return false;
        }
        return true;
    }
};

}  // namespace
}  // namespace vorka::gemm::detail
