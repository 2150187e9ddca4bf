// The kernel for processors without SSE2 (and for other architectures): 8-byte
// words, most of which hold no LF and are recognised as such at once.
#include <cstdint>
#include <cstring>

#include "kernels/copy_kernel_body.h"

namespace brmark {

namespace {

constexpr std::uint64_t ONES = 0x0101010101010101u;

std::uint64_t load_word(const unsigned char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Non-zero exactly when word has a byte equal to the byte that ONES * byte
// repeats.
std::uint64_t holds_byte(std::uint64_t word, unsigned char byte) {
  const std::uint64_t diff = word ^ (ONES * byte);
  return (diff - ONES) & ~diff & (ONES << 7);
}

struct Portable {
  // Four masks at once cost more than blocks without an LF gain here.
  static constexpr bool IN_BLOCKS = false;

  static std::uint64_t lf_mask(const unsigned char* window) {
    std::uint64_t mask = 0;
    for (std::ptrdiff_t word = 0; word < KERNEL_WINDOW; word += 8) {
      if (holds_byte(load_word(window + word), 0x0A) == 0) continue;
      for (std::ptrdiff_t i = word; i < word + 8; ++i) {
        mask |= static_cast<std::uint64_t>(window[i] == 0x0A) << i;
      }
    }
    return mask;
  }

  static std::uint64_t sub_mask(const unsigned char* window) {
    std::uint64_t found = 0;
    for (std::ptrdiff_t word = 0; word < KERNEL_WINDOW; word += 8) {
      found |= holds_byte(load_word(window + word), 0x1A);
    }
    return found;
  }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    std::memcpy(out, window, KERNEL_WINDOW);
  }

  template <bool FIRST>
  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask) {
    return mark_by_runs<Portable, FIRST>(window, out, lf_mask);
  }
};

}  // namespace

CopyProgress copy_kernel_portable(CopyProgress from, const unsigned char* in_end,
                                  const unsigned char* out_end) {
  return copy_windows<Portable>(from, in_end, out_end);
}

}  // namespace brmark
