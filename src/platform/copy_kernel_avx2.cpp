// The AVX2 kernel: 32 bytes a compare, and windows dense with LFs expanded
// by byte shuffles. Compiled with -mavx2 -mbmi in a file
// of its own, so that no other code is built for AVX2, and run only where the
// processor has both. The compiler clears the upper halves of the vector
// registers on return, so SSE code that runs afterwards pays no transition.
#include <immintrin.h>

#include <cstdint>

#include "platform/copy_kernel_body.h"

namespace brmark {

namespace {

__m256i load32(const unsigned char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

std::uint64_t equal_mask32(const unsigned char* at, char byte) {
  const int bits = _mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(at), _mm256_set1_epi8(byte)));
  return static_cast<std::uint64_t>(static_cast<unsigned>(bits));
}

// Dense windows are expanded 8 bytes at a time by byte shuffles: for each
// pattern of LFs among 8 bytes, where each output byte comes from, as an
// index into the 8 input bytes followed by MARKED_LINE_END (so an LF becomes
// indices 8 to 13), and how long the output is.
constexpr int GROUP = 8;
constexpr int GROUP_OUT = GROUP * MARKED_LINE_END_LENGTH;  // every byte an LF

struct Expansions {
  alignas(16) unsigned char from[256][GROUP_OUT];
  unsigned char length[256];
};

constexpr Expansions make_expansions() {
  Expansions table{};
  for (int lfs = 0; lfs < 256; ++lfs) {
    int at = 0;
    for (int byte = 0; byte < GROUP; ++byte) {
      if ((lfs >> byte & 1) == 0) {
        table.from[lfs][at++] = static_cast<unsigned char>(byte);
        continue;
      }
      for (int mark = 0; mark < MARKED_LINE_END_LENGTH; ++mark) {
        table.from[lfs][at++] = static_cast<unsigned char>(GROUP + mark);
      }
    }
    table.length[lfs] = static_cast<unsigned char>(at);
  }
  return table;
}

constexpr Expansions EXPANSIONS = make_expansions();

__m128i load_from(const unsigned char* table_row, std::ptrdiff_t part) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table_row + 16 * part));
}

// Only where no LF follows a CR: the shuffle marks every LF alike. The byte
// before the window counts, as its CR would already have been copied.
bool marks_every_lf_alike(const unsigned char* window, std::uint64_t lf_mask) {
  const std::uint64_t cr_mask = equal_mask32(window, 0x0D) | equal_mask32(window + 32, 0x0D) << 32;
  const std::uint64_t lf_after_cr =
      (cr_mask << 1 | static_cast<std::uint64_t>(window[-1] == 0x0D)) & lf_mask;
  return lf_after_cr == 0;
}

unsigned char* expand_groups(const unsigned char* window, unsigned char* out,
                             std::uint64_t lf_mask) {
  const __m128i mark = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(MARKED_LINE_END));
  for (int group = 0; group < KERNEL_WINDOW; group += GROUP) {
    const unsigned lfs = static_cast<unsigned>(lf_mask >> group) & 0xFF;
    const unsigned char* row = EXPANSIONS.from[lfs];
    const __m128i bytes =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(window + group)), mark);
    for (std::ptrdiff_t part = 0; part < GROUP_OUT / 16; ++part) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part),
                       _mm_shuffle_epi8(bytes, load_from(row, part)));
    }
    out += EXPANSIONS.length[lfs];
  }
  return out;
}

struct Avx2 {
  static std::uint64_t lf_mask(const unsigned char* window) {
    return equal_mask32(window, 0x0A) | equal_mask32(window + 32, 0x0A) << 32;
  }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), load32(window));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), load32(window + 32));
  }

  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask);
};

unsigned char* Avx2::mark_dense(const unsigned char* window, unsigned char* out,
                                std::uint64_t lf_mask) {
  if (marks_every_lf_alike(window, lf_mask)) return expand_groups(window, out, lf_mask);
  return mark_by_runs<Avx2>(window, out, lf_mask);
}

}  // namespace

CopyProgress copy_kernel_avx2(CopyProgress from, const unsigned char* in_end,
                              const unsigned char* out_end) {
  return copy_windows<Avx2>(from, in_end, out_end);
}

}  // namespace brmark
