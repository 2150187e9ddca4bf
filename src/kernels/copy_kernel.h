// The copy's inner loop over buffered bytes, one version per instruction set,
// chosen once at run time by what the processor can do. Every kernel stores
// exactly the same bytes; they differ only in speed.
#ifndef BRMARK_KERNELS_COPY_KERNEL_H
#define BRMARK_KERNELS_COPY_KERNEL_H

#include <cstddef>

namespace brmark {

// Bytes a kernel looks at in one step.
constexpr std::ptrdiff_t KERNEL_WINDOW = 64;
// A step copies up to a window from any byte of its window, so a kernel
// starts one only while this much input is buffered.
constexpr std::ptrdiff_t KERNEL_LOOKAHEAD = 2 * KERNEL_WINDOW;
// Output one step may store: every byte a line end of 8 bytes (6 kept, 2
// scratch), then a whole window of scratch.
constexpr std::ptrdiff_t KERNEL_ROOM = KERNEL_WINDOW * 8 + KERNEL_WINDOW;

// A line end as the copy stores it: the mark "<br>" and CR LF, then two bytes
// of padding so that it goes out in one 8-byte store.
constexpr unsigned char MARKED_LINE_END[8] = {'<', 'b', 'r', '>', 0x0D, 0x0A, 0, 0};
constexpr std::ptrdiff_t MARKED_LINE_END_LENGTH = 6;

// The first input byte not yet copied, and where the copy of it goes.
struct CopyProgress {
  const unsigned char* in;
  unsigned char* out;
};

// Copies raw buffered input to output as the reading and writing rules would
// for the bytes it takes: an LF, or a CR directly followed by an LF, becomes
// MARKED_LINE_END; every other byte is copied, a lone CR included. A SUB ends
// the input: the kernel stops before the window that holds one, leaving it
// and the bytes before it in that window to the byte-at-a-time path, and
// never copies a byte past one. It starts a window only while
// KERNEL_LOOKAHEAD bytes of input remain before in_end and KERNEL_ROOM bytes
// of output before out_end, leaving the bytes near the ends to the
// byte-at-a-time path too. It reads only [from.in, in_end) and writes only
// [from.out, out_end); bytes stored past the returned out are scratch.
//
// A CR whose LF comes later: a CR that ends a window is copied as an
// ordinary byte, and when the next window begins with an LF, the pair's mark
// is stored over that copy. Whether an LF at a window's first byte closes a
// pair therefore depends on the byte before the window: for every window but
// the first of a call, the last byte of the window before, in the kernel's
// own input; for the first, the caller's byte, which is never read and never
// such a CR, because the caller settles every byte before from.in through
// the reading rules and never splits a pair. A CR that ends the last window
// goes back to the caller undecided: the returned in is never just past a CR
// the kernel copied, and the reading rules decide it with the byte after it.
using CopyKernel = CopyProgress (*)(CopyProgress from, const unsigned char* in_end,
                                    const unsigned char* out_end);

enum class KernelKind { portable, sse2, avx2, avx512 };
// Slowest first.
constexpr KernelKind KERNEL_KINDS[] = {KernelKind::portable, KernelKind::sse2, KernelKind::avx2,
                                       KernelKind::avx512};

// The kernel of that kind, or nullptr where this build or this processor
// lacks it. The portable one is always there.
CopyKernel copy_kernel(KernelKind kind);
const char* kernel_name(KernelKind kind);
// The fastest kernel this processor runs, and its kind.
CopyKernel best_copy_kernel();
KernelKind best_kernel_kind();

}  // namespace brmark

#endif
