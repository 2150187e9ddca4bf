// The AVX2 kernel: 32 bytes a compare, and windows dense with LFs expanded
// by byte shuffles. Compiled with -mavx2 -mbmi in a file
// of its own, so that no other code is built for AVX2, and run only where the
// processor has both. The compiler clears the upper halves of the vector
// registers on return, so SSE code that runs afterwards pays no transition.
#include <immintrin.h>

#include <cstdint>

#include "kernels/copy_kernel_shuffle.h"

namespace brmark {

namespace {

__m256i load32(const unsigned char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

std::uint64_t equal_mask32(const unsigned char* at, char byte) {
  const int bits = _mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(at), _mm256_set1_epi8(byte)));
  return static_cast<std::uint64_t>(static_cast<unsigned>(bits));
}

// Bit i set where byte i of the window is byte.
std::uint64_t equal_mask64(const unsigned char* window, char byte) {
  return equal_mask32(window, byte) | equal_mask32(window + 32, byte) << 32;
}

// Non-zero when one of the length bytes at at is byte: the compares are
// gathered before the one move of their mask.
std::uint64_t holds(const unsigned char* at, std::ptrdiff_t length, char byte) {
  const __m256i wanted = _mm256_set1_epi8(byte);
  __m256i found = _mm256_cmpeq_epi8(load32(at), wanted);
  for (std::ptrdiff_t next = 32; next < length; next += 32) {
    found = _mm256_or_si256(found, _mm256_cmpeq_epi8(load32(at + next), wanted));
  }
  return static_cast<unsigned>(_mm256_movemask_epi8(found));
}

struct Avx2 {
  static constexpr bool IN_BLOCKS = true;

  static std::uint64_t lf_mask(const unsigned char* window) { return equal_mask64(window, 0x0A); }

  static std::uint64_t sub_mask(const unsigned char* window) {
    return holds(window, KERNEL_WINDOW, 0x1A);
  }

  static bool block_holds_sub(const unsigned char* block) {
    return holds(block, KERNEL_BLOCK, 0x1A) != 0;
  }

  static unsigned block_finds(const unsigned char* block) {
    const __m256i lf = _mm256_set1_epi8(0x0A);
    const __m256i sub = _mm256_set1_epi8(0x1A);
    __m256i lfs = _mm256_setzero_si256();
    __m256i subs = _mm256_setzero_si256();
    for (std::ptrdiff_t at = 0; at < KERNEL_BLOCK; at += 32) {
      const __m256i bytes = load32(block + at);
      lfs = _mm256_or_si256(lfs, _mm256_cmpeq_epi8(bytes, lf));
      subs = _mm256_or_si256(subs, _mm256_cmpeq_epi8(bytes, sub));
    }
    return static_cast<unsigned>(_mm256_movemask_epi8(lfs) != 0) |
           static_cast<unsigned>(_mm256_movemask_epi8(subs) != 0) << 1;
  }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), load32(window));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), load32(window + 32));
  }

  template <bool FIRST>
  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask) {
    return mark_dense_by_shuffles<Avx2, FIRST>(window, out, lf_mask, equal_mask64(window, 0x0D));
  }
};

}  // namespace

CopyProgress copy_kernel_avx2(CopyProgress from, const unsigned char* in_end,
                              const unsigned char* out_end) {
  return copy_windows<Avx2>(from, in_end, out_end);
}

}  // namespace brmark
