// The AVX-512 kernel: one compare covers a whole window, one load and store
// copy it, and windows dense with LFs are expanded by byte shuffles as in the
// AVX2 kernel. Compiled with -mavx512f -mavx512bw -mbmi in a file of its own
// and run only where the processor has them and the operating system saves
// the wide registers.
#include <immintrin.h>

#include <cstdint>

#include "kernels/copy_kernel_shuffle.h"

namespace brmark {

namespace {

__m512i load64(const unsigned char* at) {
  return _mm512_loadu_si512(static_cast<const void*>(at));
}

std::uint64_t equal_mask64(const unsigned char* at, char byte) {
  return _mm512_cmpeq_epi8_mask(load64(at), _mm512_set1_epi8(byte));
}

struct Avx512 {
  static constexpr bool IN_BLOCKS = true;

  static std::uint64_t lf_mask(const unsigned char* window) { return equal_mask64(window, 0x0A); }
  static std::uint64_t sub_mask(const unsigned char* window) { return equal_mask64(window, 0x1A); }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    _mm512_storeu_si512(static_cast<void*>(out), load64(window));
  }

  template <bool FIRST>
  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask) {
    return mark_dense_by_shuffles<Avx512, FIRST>(window, out, lf_mask, equal_mask64(window, 0x0D));
  }
};

}  // namespace

CopyProgress copy_kernel_avx512(CopyProgress from, const unsigned char* in_end,
                                const unsigned char* out_end) {
  return copy_windows<Avx512>(from, in_end, out_end);
}

}  // namespace brmark
