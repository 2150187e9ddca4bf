// The copy's window classification: the SSE2 mask and the portable one (the
// only one on targets without SSE2) against a byte-by-byte reference.
#include "platform/byte_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace brmark::testing {
namespace {

std::uint64_t reference_mask(const unsigned char* window) {
  std::uint64_t mask = 0;
  for (int i = 0; i < SCAN_WINDOW; ++i) {
    if (window[i] == 0x0D || window[i] == 0x0A || window[i] == 0x1A) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

TEST(ByteScan, BothClassificationsMarkExactlyCrLfAndSub) {
  // Bytes drawn mostly from around the three, so that words with one, several
  // or none of them, and near misses such as 0x0B, 0x1B and 0x8D, all occur.
  const unsigned char pool[] = {0x0D, 0x0A, 0x1A, 0x00, 0x0B, 0x0C, 0x0E, 0x19,
                                0x1B, 0x8D, 0x8A, 0x9A, 0xFF, 'a',  ' ',  0x2A};
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof pool - 1);
  std::uniform_int_distribution<int> density(0, 8);
  unsigned char window[SCAN_WINDOW];
  for (int round = 0; round < 20000; ++round) {
    const int ordinary_share = density(random);
    for (unsigned char& byte : window) {
      byte =
          density(random) < ordinary_share ? static_cast<unsigned char>('x') : pool[pick(random)];
    }
    const std::uint64_t expected = reference_mask(window);
    ASSERT_EQ(line_byte_mask_by_words(window), expected) << "round " << round;
    ASSERT_EQ(line_byte_mask(window), expected) << "round " << round;
    if (expected != 0) {
      ASSERT_EQ(std::uint64_t{1} << lowest_bit(expected), expected & -expected);
    }
  }
}

}  // namespace
}  // namespace brmark::testing
