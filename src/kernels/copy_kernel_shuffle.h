// Windows dense with LFs expanded 8 bytes at a time by byte shuffles (SSSE3),
// for the AVX2 kernel; the AVX-512 kernel builds its permutes from the same
// table and takes the same test. Included only by their files, each
// compiled with its own flags, so every function here has internal linkage,
// as in copy_kernel_body.h.
#ifndef BRMARK_KERNELS_COPY_KERNEL_SHUFFLE_H
#define BRMARK_KERNELS_COPY_KERNEL_SHUFFLE_H

#include <immintrin.h>

#include <cstdint>

#include "kernels/copy_kernel_body.h"

namespace brmark {

// For each pattern of LFs among 8 bytes, where each output byte comes from,
// as an index into the 8 input bytes followed by MARKED_LINE_END (so an LF
// becomes indices 8 to 13), and how long the output is.
static constexpr int SHUFFLE_GROUP = 8;
static constexpr int SHUFFLE_GROUP_OUT = SHUFFLE_GROUP * MARKED_LINE_END_LENGTH;

struct Expansions {
  alignas(16) unsigned char from[256][SHUFFLE_GROUP_OUT];
  unsigned char length[256];
};

static constexpr Expansions make_expansions() {
  Expansions table{};
  for (int lfs = 0; lfs < 256; ++lfs) {
    int at = 0;
    for (int byte = 0; byte < SHUFFLE_GROUP; ++byte) {
      if ((lfs >> byte & 1) == 0) {
        table.from[lfs][at++] = static_cast<unsigned char>(byte);
        continue;
      }
      for (int mark = 0; mark < MARKED_LINE_END_LENGTH; ++mark) {
        table.from[lfs][at++] = static_cast<unsigned char>(SHUFFLE_GROUP + mark);
      }
    }
    table.length[lfs] = static_cast<unsigned char>(at);
  }
  return table;
}

static constexpr Expansions EXPANSIONS = make_expansions();

// The LFs that close a CR LF pair, those that follow a CR; only where there
// are none do the expansions mark every LF alike. A CR that ended the window
// before counts, but for the first window of a call, before which lies the
// caller's byte (the rule for a CR whose LF comes later, in copy_kernel.h).
template <bool FIRST>
static inline std::uint64_t pair_closing_lfs(const unsigned char* window, std::uint64_t lf_mask,
                                             std::uint64_t cr_mask) {
  const auto cr_before = static_cast<std::uint64_t>(!FIRST && window[-1] == 0x0D);
  return (cr_mask << 1 | cr_before) & lf_mask;
}

static inline __m128i expansion_part(const unsigned char* table_row, std::ptrdiff_t part) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table_row + 16 * part));
}

static inline unsigned char* expand_groups(const unsigned char* window, unsigned char* out,
                                           std::uint64_t lf_mask) {
  const __m128i mark = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(MARKED_LINE_END));
  for (int group = 0; group < KERNEL_WINDOW; group += SHUFFLE_GROUP) {
    const unsigned lfs = static_cast<unsigned>(lf_mask >> group) & 0xFF;
    const unsigned char* row = EXPANSIONS.from[lfs];
    const __m128i bytes =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(window + group)), mark);
    for (std::ptrdiff_t part = 0; part < SHUFFLE_GROUP_OUT / 16; ++part) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part),
                       _mm_shuffle_epi8(bytes, expansion_part(row, part)));
    }
    out += EXPANSIONS.length[lfs];
  }
  return out;
}

// A window with several LFs, given where its CRs are: by shuffles where every
// LF is marked alike, else line end by line end.
template <class Isa, bool FIRST>
static inline unsigned char* mark_dense_by_shuffles(const unsigned char* window, unsigned char* out,
                                                    std::uint64_t lf_mask, std::uint64_t cr_mask) {
  if (pair_closing_lfs<FIRST>(window, lf_mask, cr_mask) == 0) {
    return expand_groups(window, out, lf_mask);
  }
  return mark_by_runs<Isa, FIRST>(window, out, lf_mask);
}

}  // namespace brmark

#endif
