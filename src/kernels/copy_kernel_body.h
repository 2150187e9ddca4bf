// The kernels' one algorithm, compiled once per instruction set. Included
// only by the copy_kernel_*.cpp files, each with its own compiler flags, so
// every function here has internal linkage: an inline function with external
// linkage could be merged with the AVX2 file's copy and run on a processor
// without AVX2.
#ifndef BRMARK_KERNELS_COPY_KERNEL_BODY_H
#define BRMARK_KERNELS_COPY_KERNEL_BODY_H

#include <cstdint>
#include <cstring>

#include "kernels/copy_kernel.h"

namespace brmark {

// Index of the lowest set bit; KERNEL_WINDOW when there is none.
static inline std::ptrdiff_t first_bit_or_window(std::uint64_t mask) {
#if defined(__BMI__) && defined(__x86_64__)
  // tzcnt gives the window's size for an empty mask, with no branch.
  return static_cast<std::ptrdiff_t>(__builtin_ia32_tzcnt_u64(mask));
#elif defined(__BMI__) && defined(__i386__)
  // The same from the two halves a 32-bit build keeps the mask in: the high
  // half's count is added only where the low half is empty (a select, not a
  // branch).
  const auto low = static_cast<std::uint32_t>(mask);
  const auto high = static_cast<std::uint32_t>(mask >> 32);
  const unsigned low_count = __builtin_ia32_tzcnt_u32(low);
  const unsigned high_count = low == 0 ? __builtin_ia32_tzcnt_u32(high) : 0;
  return static_cast<std::ptrdiff_t>(low_count + high_count);
#elif defined(__GNUC__)
  return mask == 0 ? KERNEL_WINDOW : __builtin_ctzll(mask);
#else
  std::ptrdiff_t at = 0;
  while (at < KERNEL_WINDOW && (mask >> at & 1) == 0) ++at;
  return at;
#endif
}

// Whether the mask has more than one bit set; a 32-bit build asks each half,
// sparing the borrow from one half into the other.
static inline bool several_bits(std::uint64_t mask) {
#if defined(__i386__)
  const auto low = static_cast<std::uint32_t>(mask);
  const auto high = static_cast<std::uint32_t>(mask >> 32);
  return ((low & (low - 1)) | (high & (high - 1)) |
          static_cast<std::uint32_t>(low != 0 && high != 0)) != 0;
#else
  return (mask & (mask - 1)) != 0;
#endif
}

// The step for one window is inlined into each loop of copy_windows. Where
// the compiler made it a call instead (GCC 12, once the AVX-512 kernel's
// dense path grew), ordinary text ran 5 to 10% slower.
#if defined(__GNUC__)
#define BRMARK_ALWAYS_INLINE __attribute__((always_inline))
#else
#define BRMARK_ALWAYS_INLINE
#endif

// Whether the LF at lf_at (KERNEL_WINDOW for none) closes a CR LF pair: the
// byte before it is a CR (the rule for a CR whose LF comes later, in
// copy_kernel.h). Before the first window of a call lies the caller's byte,
// which is not read: there the LF itself is read instead, never a CR, so
// that no branch depends on where the LF stands.
template <bool FIRST>
static inline std::ptrdiff_t closes_pair(const unsigned char* window, std::ptrdiff_t lf_at) {
  const std::ptrdiff_t before = lf_at - 1 + static_cast<std::ptrdiff_t>(FIRST && lf_at == 0);
  return static_cast<std::ptrdiff_t>(window[before] == 0x0D);
}

// A window with at most one LF, without a data-dependent branch. The window
// is already copied to out. The marked line end is stored where the line end
// begins and the rest of the window copied after it in any case; with no LF
// both land past the window's copy, as scratch.
template <class Isa, bool FIRST>
static inline unsigned char* mark_sparse(const unsigned char* window, unsigned char* out,
                                         std::uint64_t lf_mask) {
  const std::ptrdiff_t lf_at = first_bit_or_window(lf_mask);
  const std::ptrdiff_t has_lf = lf_mask != 0;
  const std::ptrdiff_t head = lf_at - (closes_pair<FIRST>(window, lf_at) & has_lf);
  std::memcpy(out + head, MARKED_LINE_END, sizeof MARKED_LINE_END);
  unsigned char* const rest = out + head + has_lf * MARKED_LINE_END_LENGTH;
  Isa::copy_window(rest, window + lf_at + has_lf);
  return rest + (KERNEL_WINDOW - lf_at - has_lf);
}

// A window with several LFs: copied whole, then after each line end the rest
// of the window is copied again from there, overwriting the previous copy's
// tail. The line end begins at the LF, or at the CR just before it, which
// may be the last byte of the window before, already copied.
template <class Isa, bool FIRST>
static inline unsigned char* mark_by_runs(const unsigned char* window, unsigned char* out,
                                          std::uint64_t lf_mask) {
  Isa::copy_window(out, window);
  std::ptrdiff_t start = 0;
  do {
    const std::ptrdiff_t lf_at = first_bit_or_window(lf_mask);
    lf_mask &= lf_mask - 1;
    out += lf_at - closes_pair<FIRST>(window, lf_at) - start;
    std::memcpy(out, MARKED_LINE_END, sizeof MARKED_LINE_END);
    out += MARKED_LINE_END_LENGTH;
    start = lf_at + 1;
    Isa::copy_window(out, window + start);
  } while (lf_mask != 0);
  return out + (KERNEL_WINDOW - start);
}

// One window as copy_windows moves it, given its LF mask, FIRST for the first
// window of a call; returns where the next window's copy goes. A window with
// several LFs is not copied first: the expansions of the dense path store
// every byte anew.
template <class Isa, bool FIRST>
BRMARK_ALWAYS_INLINE static inline unsigned char* copy_window_marking(const unsigned char* in,
                                                                      unsigned char* out,
                                                                      std::uint64_t lf_mask) {
  if (several_bits(lf_mask)) return Isa::template mark_dense<FIRST>(in, out, lf_mask);
  Isa::copy_window(out, in);
  return mark_sparse<Isa, FIRST>(in, out, lf_mask);
}

// Where Isa::IN_BLOCKS, windows go four at a time while there is room for
// four: a block without an LF, the whole of a long line, is copied by its
// stores alone, half the stores mark_sparse would make. The masks are needed
// anyway, so ordinary text pays one test per block for it.
constexpr std::ptrdiff_t KERNEL_BLOCK = 4 * KERNEL_WINDOW;
// Each window keeps at most KERNEL_ROOM less a window of scratch, and the
// last one's scratch lies past all four.
constexpr std::ptrdiff_t KERNEL_BLOCK_ROOM = 4 * (KERNEL_ROOM - KERNEL_WINDOW) + KERNEL_WINDOW;

// A block with no LF, by its stores alone.
template <class Isa>
BRMARK_ALWAYS_INLINE static inline unsigned char* copy_block_whole(const unsigned char* in,
                                                                   unsigned char* out) {
  for (std::ptrdiff_t at = 0; at < KERNEL_BLOCK; at += KERNEL_WINDOW) {
    Isa::copy_window(out + at, in + at);
  }
  return out + KERNEL_BLOCK;
}

#if defined(__i386__)
// Eight registers hold no four 64-bit masks: one pass over the whole block
// tells whether it holds an LF or a SUB (Isa::block_finds: bit 0 an LF, bit
// 1 a SUB), and each window's mask is made where it is needed. False, with
// nothing done, for a block that holds a SUB.
template <class Isa>
BRMARK_ALWAYS_INLINE static inline bool copy_block(const unsigned char* in, unsigned char** out) {
  const unsigned finds = Isa::block_finds(in);
  if ((finds & 2) != 0) return false;
  if ((finds & 1) == 0) {
    *out = copy_block_whole<Isa>(in, *out);
    return true;
  }
  for (std::ptrdiff_t at = 0; at < KERNEL_BLOCK; at += KERNEL_WINDOW) {
    *out = copy_window_marking<Isa, false>(in + at, *out, Isa::lf_mask(in + at));
  }
  return true;
}
#else
// The four masks first, so that their loads and compares overlap. False,
// with nothing done, for a block that holds a SUB.
template <class Isa>
BRMARK_ALWAYS_INLINE static inline bool copy_block(const unsigned char* in, unsigned char** out) {
  const std::uint64_t m0 = Isa::lf_mask(in);
  const std::uint64_t m1 = Isa::lf_mask(in + KERNEL_WINDOW);
  const std::uint64_t m2 = Isa::lf_mask(in + 2 * KERNEL_WINDOW);
  const std::uint64_t m3 = Isa::lf_mask(in + 3 * KERNEL_WINDOW);
  if (Isa::block_holds_sub(in)) return false;
  if ((m0 | m1 | m2 | m3) == 0) {
    *out = copy_block_whole<Isa>(in, *out);
    return true;
  }
  *out = copy_window_marking<Isa, false>(in, *out, m0);
  *out = copy_window_marking<Isa, false>(in + KERNEL_WINDOW, *out, m1);
  *out = copy_window_marking<Isa, false>(in + 2 * KERNEL_WINDOW, *out, m2);
  *out = copy_window_marking<Isa, false>(in + 3 * KERNEL_WINDOW, *out, m3);
  return true;
}
#endif

// Isa provides lf_mask(window) (bit i set where byte i is LF),
// sub_mask(window) (non-zero when the window holds a SUB) and
// copy_window(out, window), each over KERNEL_WINDOW bytes,
// block_holds_sub(block) and block_finds(block) (bit 0 set where the block
// holds an LF, bit 1 where a SUB) over KERNEL_BLOCK bytes where IN_BLOCKS,
// mark_dense<FIRST>(window, out, lf_mask), which stores the marked copy of a
// window with several LFs and may be mark_by_runs, and IN_BLOCKS.
//
// Windows follow each other at a fixed stride, so the loads of one never
// wait for the results of the one before; only the output position carries
// from window to window. The branches here that depend on the text are "more
// than one LF in this window", rare in ordinary text and usual in very short
// lines (where each kernel's mark_dense branches again on how many LFs and
// whether they close CR LF pairs), "no LF in these four windows", rare in
// ordinary text and usual in long lines, and "a SUB here", taken at most
// once. Looking for SUB in the
// same pass as for LF spares the caller a second pass over its buffer. The
// first window goes alone, as the byte before it is the caller's (the rule
// in copy_kernel.h); every later one looks back into the window before.
template <class Isa>
static CopyProgress copy_windows(CopyProgress from, const unsigned char* in_end,
                                 const unsigned char* out_end) {
  if (in_end - from.in < KERNEL_LOOKAHEAD || out_end - from.out < KERNEL_ROOM ||
      Isa::sub_mask(from.in) != 0) {
    return from;
  }
  const unsigned char* in = from.in + KERNEL_WINDOW;
  unsigned char* out = copy_window_marking<Isa, true>(from.in, from.out, Isa::lf_mask(from.in));
  // A block that holds a SUB is left to the window-at-a-time loop below,
  // which stops before the window it is in.
  if constexpr (Isa::IN_BLOCKS) {
    while (in_end - in >= KERNEL_BLOCK + KERNEL_WINDOW && out_end - out >= KERNEL_BLOCK_ROOM) {
      if (!copy_block<Isa>(in, &out)) break;
      in += KERNEL_BLOCK;
    }
  }
  while (in_end - in >= KERNEL_LOOKAHEAD && out_end - out >= KERNEL_ROOM &&
         Isa::sub_mask(in) == 0) {
    out = copy_window_marking<Isa, false>(in, out, Isa::lf_mask(in));
    in += KERNEL_WINDOW;
  }
  // A CR that ended the last window may pair with an LF that is not looked
  // at here: it goes back to the caller undecided.
  const bool ends_in_cr = in[-1] == 0x0D;
  return {in - ends_in_cr, out - ends_in_cr};
}

}  // namespace brmark

#endif
