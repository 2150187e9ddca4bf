#include "conversion/marking_copy.h"

#include <cstddef>
#include <cstdint>

#include "conversion/buffer_window.h"

namespace brmark {

namespace {

constexpr bool marked_line_end_matches() {
  for (std::size_t i = 0; i + 1 < sizeof LINE_MARK; ++i) {
    if (MARKED_LINE_END[i] != static_cast<unsigned char>(LINE_MARK[i])) return false;
  }
  return MARKED_LINE_END[4] == CR && MARKED_LINE_END[5] == LF &&
         sizeof LINE_MARK - 1 + 2 == MARKED_LINE_END_LENGTH;
}
static_assert(marked_line_end_matches(), "the bulk path must write LINE_MARK and CR LF");

constexpr std::size_t ROOM = KERNEL_ROOM;

// The bulk path: the kernel copies what is buffered, window by window, and
// hands back when the input runs short or when the output needs flushing,
// which is done here before it goes on.
void copy_buffered_windows(TextStream* input, TextStream* output, CopyKernel kernel) {
  if (output->capacity < ROOM) return;  // only tests make buffers this small
  // The windows start on a boundary of their size, so that no load crosses
  // a cache line; read_char takes the bytes before it.
  if (reinterpret_cast<std::uintptr_t>(read_next(input)) % KERNEL_WINDOW != 0) return;
  // The kernel stops before a SUB by itself.
  const unsigned char* const in_end = read_end(input);
  CopyProgress at{read_next(input), write_next(output, ROOM)};
  for (;;) {
    at = kernel(at, in_end, write_end(output));
    read_consumed(input, at.in);
    write_committed(output, at.out);
    if (static_cast<std::size_t>(write_end(output) - at.out) >= ROOM) return;
    at.out = write_next(output, ROOM);
    if (text_stream_failed(output)) return;
  }
}

}  // namespace

void copy_marking_line_ends(TextStream* input, TextStream* output) {
  copy_marking_line_ends_with(input, output, best_copy_kernel());
}

void copy_marking_line_ends_with(TextStream* input, TextStream* output, CopyKernel kernel) {
  for (;;) {
    copy_buffered_windows(input, output, kernel);
    // Nothing more of the copy can be kept once the output has failed.
    if (text_stream_failed(output)) return;
    // One character through the reading rules: what the bulk path left, or
    // the first of a refill.
    const int ch = read_char(input);
    if (ch == END_OF_INPUT) return;
    if (ch == LF) {
      // The output stream stores the LF as CR LF, whatever the input's line end was.
      write_text(output, LINE_MARK);
      write_char(output, LF);
    } else {
      write_char(output, static_cast<unsigned char>(ch));
    }
  }
}

}  // namespace brmark
