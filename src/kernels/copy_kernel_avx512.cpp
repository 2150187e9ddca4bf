// The AVX-512 kernel: one compare covers a whole window, one load and store
// copy it, and windows dense with LFs are expanded 8 bytes at a time by one
// two-source byte permute each (VBMI), where the AVX2 kernel needs three
// shuffles; the CRs of CR LF pairs are first squeezed out of such a window
// by one compress (VBMI2). Compiled with -mavx512f -mavx512bw -mavx512vbmi
// -mavx512vbmi2 -mbmi -mpopcnt in a file of its own and run only where the
// processor has them and the operating system saves the wide registers.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels/copy_kernel_shuffle.h"

namespace brmark {

namespace {

__m512i load64(const unsigned char* at) {
  return _mm512_loadu_si512(static_cast<const void*>(at));
}

std::uint64_t equal_mask64(const unsigned char* at, char byte) {
  return _mm512_cmpeq_epi8_mask(load64(at), _mm512_set1_epi8(byte));
}

// In 32-bit builds too, where the 64-bit count is not an instruction.
int count_bits(std::uint64_t mask) {
  return _mm_popcnt_u32(static_cast<unsigned>(mask)) +
         _mm_popcnt_u32(static_cast<unsigned>(mask >> 32));
}

// A window with fewer LFs goes line end by line end: expanding all eight
// groups stores more than that saves (ordinary text, where most such windows
// hold two, ran at 14-15 GB/s with every one expanded against 19 this way).
constexpr int EXPANDED_LFS = 4;

// For each pattern of LFs among the 8 bytes of a window's first group, where
// each output byte comes from: a byte of the group by its index in the
// window, an LF's mark by 64 plus its index in a register that holds
// MARKED_LINE_END in every 8 bytes. Adding 8 * g to every index serves group
// g: its bytes lie 8 * g further on, and so does a copy of the mark.
struct Permutes {
  alignas(64) unsigned char from[256][KERNEL_WINDOW];
};

constexpr Permutes make_permutes() {
  Permutes table{};
  for (int lfs = 0; lfs < 256; ++lfs) {
    for (int at = 0; at < SHUFFLE_GROUP_OUT; ++at) {
      const unsigned char from = EXPANSIONS.from[lfs][at];
      table.from[lfs][at] = static_cast<unsigned char>(
          from < SHUFFLE_GROUP ? from : KERNEL_WINDOW + from - SHUFFLE_GROUP);
    }
  }
  return table;
}

constexpr Permutes PERMUTES = make_permutes();

// The 64 bytes in the register, each LF (lf_mask) stored as MARKED_LINE_END.
unsigned char* expand_groups_by_permutes(__m512i bytes, unsigned char* out, std::uint64_t lf_mask) {
  std::uint64_t mark = 0;
  std::memcpy(&mark, MARKED_LINE_END, sizeof mark);
  const __m512i marks = _mm512_set1_epi64(static_cast<long long>(mark));
  for (int group = 0; group < KERNEL_WINDOW; group += SHUFFLE_GROUP) {
    const unsigned lfs = static_cast<unsigned>(lf_mask >> group) & 0xFF;
    const __m512i from = _mm512_add_epi8(_mm512_load_si512(PERMUTES.from[lfs]),
                                         _mm512_set1_epi8(static_cast<char>(group)));
    _mm512_storeu_si512(static_cast<void*>(out), _mm512_permutex2var_epi8(bytes, from, marks));
    out += EXPANSIONS.length[lfs];
  }
  return out;
}

// A window dense with LFs, some of which (closing_lfs) close CR LF pairs:
// those pairs' CRs are squeezed out, after which every LF is marked alike,
// and the bytes that fill the register's end in their place are left behind
// as scratch. The CR of a pair that ended the window before is the last byte
// stored (the rule in copy_kernel.h): the marked line end goes over it.
unsigned char* expand_groups_without_pair_crs(const unsigned char* window, unsigned char* out,
                                              std::uint64_t closing_lfs) {
  const std::uint64_t dropped = closing_lfs >> 1;
  const __m512i kept = _mm512_maskz_compress_epi8(~dropped, load64(window));
  const std::uint64_t kept_lfs = _mm512_cmpeq_epi8_mask(kept, _mm512_set1_epi8(0x0A));
  out -= static_cast<std::ptrdiff_t>(closing_lfs & 1);
  return expand_groups_by_permutes(kept, out, kept_lfs) - count_bits(dropped);
}

struct Avx512 {
  static constexpr bool IN_BLOCKS = true;

  static std::uint64_t lf_mask(const unsigned char* window) { return equal_mask64(window, 0x0A); }
  static std::uint64_t sub_mask(const unsigned char* window) { return equal_mask64(window, 0x1A); }

  // One compare for four windows: a byte makes a zero byte of its window's
  // exclusive or with it, and the byte-wise minimum keeps it.
  static bool block_holds(const unsigned char* block, char byte) {
    const __m512i wanted = _mm512_set1_epi8(byte);
    const __m512i low = _mm512_min_epu8(_mm512_xor_si512(load64(block), wanted),
                                        _mm512_xor_si512(load64(block + KERNEL_WINDOW), wanted));
    const __m512i high =
        _mm512_min_epu8(_mm512_xor_si512(load64(block + 2 * KERNEL_WINDOW), wanted),
                        _mm512_xor_si512(load64(block + 3 * KERNEL_WINDOW), wanted));
    return _mm512_test_epi8_mask(_mm512_min_epu8(low, high), _mm512_set1_epi8(-1)) !=
           ~std::uint64_t{0};
  }
  static bool block_holds_sub(const unsigned char* block) { return block_holds(block, 0x1A); }
  static unsigned block_finds(const unsigned char* block) {
    return static_cast<unsigned>(block_holds(block, 0x0A)) |
           static_cast<unsigned>(block_holds(block, 0x1A)) << 1;
  }

  static void copy_window(unsigned char* out, const unsigned char* window) {
    _mm512_storeu_si512(static_cast<void*>(out), load64(window));
  }

  template <bool FIRST>
  static unsigned char* mark_dense(const unsigned char* window, unsigned char* out,
                                   std::uint64_t lf_mask) {
    if (count_bits(lf_mask) < EXPANDED_LFS) {
      return mark_by_runs<Avx512, FIRST>(window, out, lf_mask);
    }
    const std::uint64_t closing_lfs =
        pair_closing_lfs<FIRST>(window, lf_mask, equal_mask64(window, 0x0D));
    if (closing_lfs == 0) return expand_groups_by_permutes(load64(window), out, lf_mask);
    return expand_groups_without_pair_crs(window, out, closing_lfs);
  }
};

}  // namespace

CopyProgress copy_kernel_avx512(CopyProgress from, const unsigned char* in_end,
                                const unsigned char* out_end) {
  return copy_windows<Avx512>(from, in_end, out_end);
}

}  // namespace brmark
