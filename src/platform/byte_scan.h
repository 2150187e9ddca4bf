// Finding the bytes the copy must look at: CR, LF and SUB. Every other byte
// is copied as it is, so the copy classifies 64 bytes at a time into a bit
// mask. SSE2 (every x86-64 processor, and every 32-bit x86 Windows target of
// this century) does it in a few instructions; elsewhere 8-byte words are
// tested, assembled in memory order so that byte order does not matter.
#ifndef BRMARK_PLATFORM_BYTE_SCAN_H
#define BRMARK_PLATFORM_BYTE_SCAN_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define BRMARK_SCAN_SSE2 1
#endif
#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace brmark {

constexpr int SCAN_WINDOW = 64;

// Index of the lowest set bit of a non-zero mask.
inline int lowest_bit(std::uint64_t mask) {
#if defined(_MSC_VER) && defined(_M_X64)
  unsigned long index;
  _BitScanForward64(&index, mask);
  return static_cast<int>(index);
#elif defined(_MSC_VER)
  unsigned long index;
  const auto low = static_cast<unsigned long>(mask);
  if (low != 0) {
    _BitScanForward(&index, low);
    return static_cast<int>(index);
  }
  _BitScanForward(&index, static_cast<unsigned long>(mask >> 32));
  return static_cast<int>(index) + 32;
#else
  return __builtin_ctzll(mask);
#endif
}

// The portable classification, built everywhere so that tests can hold it
// against the SSE2 one; it is the one used where SSE2 is missing.

inline std::uint64_t line_byte_mask8(const unsigned char* at) {
  std::uint64_t mask = 0;
  for (int i = 7; i >= 0; --i) {
    mask = mask << 1 | static_cast<std::uint64_t>(at[i] == 0x0D || at[i] == 0x0A || at[i] == 0x1A);
  }
  return mask;
}

// Bit 7 of a byte of the result is set where word has a zero byte; exact in
// the lowest such byte only, so it serves to skip words with none.
inline std::uint64_t zero_bytes(std::uint64_t word) {
  return (word - 0x0101010101010101u) & ~word & 0x8080808080808080u;
}

// Bit i is set exactly where byte i of the SCAN_WINDOW bytes at at is CR, LF
// or SUB. Words without any are recognised at once.
inline std::uint64_t line_byte_mask_by_words(const unsigned char* at) {
  std::uint64_t mask = 0;
  for (std::ptrdiff_t word = 7; word >= 0; --word) {
    const unsigned char* bytes = at + 8 * word;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    const bool any =
        (zero_bytes(value ^ 0x0D0D0D0D0D0D0D0Du) | zero_bytes(value ^ 0x0A0A0A0A0A0A0A0Au) |
         zero_bytes(value ^ 0x1A1A1A1A1A1A1A1Au)) != 0;
    mask = mask << 8 | (any ? line_byte_mask8(bytes) : 0);
  }
  return mask;
}

#if defined(BRMARK_SCAN_SSE2)

inline std::uint64_t line_byte_mask16(const unsigned char* at) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(0x0D)),
                                                 _mm_cmpeq_epi8(block, _mm_set1_epi8(0x0A))),
                                    _mm_cmpeq_epi8(block, _mm_set1_epi8(0x1A)));
  return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)));
}

// The same mask as line_byte_mask_by_words, 16 bytes at a time.
inline std::uint64_t line_byte_mask(const unsigned char* at) {
  return line_byte_mask16(at) | line_byte_mask16(at + 16) << 16 | line_byte_mask16(at + 32) << 32 |
         line_byte_mask16(at + 48) << 48;
}

#else

inline std::uint64_t line_byte_mask(const unsigned char* at) {
  return line_byte_mask_by_words(at);
}

#endif

}  // namespace brmark

#endif
