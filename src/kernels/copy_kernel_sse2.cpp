// The SSE2 kernel: 16 bytes a compare. Compiled with -msse2, and run only
// where the processor has SSE2.
#include <emmintrin.h>

#include <cstdint>

#include "kernels/copy_kernel_body.h"

namespace brmark {

namespace {

__m128i load16(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

std::uint64_t equal_mask16(const unsigned char* at, char byte) {
  const int bits = _mm_movemask_epi8(_mm_cmpeq_epi8(load16(at), _mm_set1_epi8(byte)));
  return static_cast<std::uint64_t>(static_cast<unsigned>(bits));
}

struct Sse2 {
  // Four windows are sixteen compares, more than the registers hold at once:
  // blocks would slow ordinary and short lines more than they speed long ones.
  static constexpr bool IN_BLOCKS = false;

  static std::uint64_t lf_mask(const unsigned char* window) {
    return equal_mask16(window, 0x0A) | equal_mask16(window + 16, 0x0A) << 16 |
           equal_mask16(window + 32, 0x0A) << 32 | equal_mask16(window + 48, 0x0A) << 48;
  }

  static std::uint64_t sub_mask(const unsigned char* window) {
    const __m128i sub = _mm_set1_epi8(0x1A);
    __m128i found = _mm_cmpeq_epi8(load16(window), sub);
    for (int at = 16; at < KERNEL_WINDOW; at += 16) {
      found = _mm_or_si128(found, _mm_cmpeq_epi8(load16(window + at), sub));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(found));
  }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    for (int at = 0; at < KERNEL_WINDOW; at += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), load16(window + at));
    }
  }

  template <bool FIRST>
  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask) {
    return mark_by_runs<Sse2, FIRST>(window, out, lf_mask);
  }
};

}  // namespace

CopyProgress copy_kernel_sse2(CopyProgress from, const unsigned char* in_end,
                              const unsigned char* out_end) {
  return copy_windows<Sse2>(from, in_end, out_end);
}

}  // namespace brmark
