#include "conversion/marking_copy.h"

#include <cstdint>
#include <cstring>

#include "platform/byte_scan.h"

namespace brmark {

namespace {

// A line end as it is stored: the mark, then the LF as the writing rule
// stores it, padded so that it goes out in one 8-byte store.
constexpr unsigned char MARKED_LINE_END[8] = {'<', 'b', 'r', '>', CR, LF, 0, 0};
constexpr std::ptrdiff_t MARKED_LINE_END_LENGTH = 6;

constexpr bool marked_line_end_matches() {
  for (std::size_t i = 0; i + 1 < sizeof LINE_MARK; ++i) {
    if (MARKED_LINE_END[i] != static_cast<unsigned char>(LINE_MARK[i])) return false;
  }
  return sizeof LINE_MARK - 1 + 2 == MARKED_LINE_END_LENGTH;
}
static_assert(marked_line_end_matches(), "the bulk path must write LINE_MARK and CR LF");

// A run never spans more than one window, so it moves as one fixed-size
// copy of a whole window's length: bytes stored past the run's end are
// overwritten by what follows. The copy may read a window past the window
// being classified, so the bulk path keeps two windows of input ahead.
constexpr std::ptrdiff_t LOOKAHEAD = std::ptrdiff_t{2} * SCAN_WINDOW;
// Free output one window may need: every byte a line end, then a whole run.
constexpr std::size_t WINDOW_ROOM = SCAN_WINDOW * sizeof MARKED_LINE_END + SCAN_WINDOW;

// Copies the input bytes [from, to), at most SCAN_WINDOW of them, to out;
// returns the end of the copy.
inline unsigned char* copy_run(unsigned char* out, const unsigned char* from,
                               const unsigned char* to) {
  std::memcpy(out, from, SCAN_WINDOW);
  return out + (to - from);
}

inline unsigned char* mark_line_end(unsigned char* out) {
  std::memcpy(out, MARKED_LINE_END, sizeof MARKED_LINE_END);
  return out + MARKED_LINE_END_LENGTH;
}

// The bulk path. Classifies the buffered input a window of 64 bytes at a
// time and copies the runs between line ends, so that a line costs a few
// instructions whatever its length. It applies no reading rule beyond "LF,
// and CR directly followed by LF, end a line; any other CR is an ordinary
// byte", and leaves to read_char a SUB and the last bytes of the buffer.
void copy_buffered_windows(TextStream* input, TextStream* output) {
  if (output->capacity < WINDOW_ROOM) return;  // only tests make buffers this small
  const unsigned char* in = read_next(input);
  const unsigned char* const in_end = read_end(input);
  unsigned char* out = write_next(output, WINDOW_ROOM);
  const unsigned char* const out_end = write_end(output);
  // Offset in the window of the first byte not yet copied: 1 at the start of
  // a window whose first byte was the LF of a CR LF pair.
  std::ptrdiff_t next = 0;
  while (in_end - in >= LOOKAHEAD) {
    if (static_cast<std::size_t>(out_end - out) < WINDOW_ROOM) {
      write_committed(output, out);
      out = write_next(output, WINDOW_ROOM);
      if (text_stream_failed(output)) break;
    }
    std::uint64_t mask = line_byte_mask(in) & (~std::uint64_t{0} << next);
    while (mask != 0) {
      const int at = lowest_bit(mask);
      mask &= mask - 1;
      if (in[at] == CR) {
        if (in[at + 1] != LF) continue;
        mask &= mask - 1;  // the LF of the pair, when it lies in this window
        out = mark_line_end(copy_run(out, in + next, in + at));
        next = at + 2;
      } else if (in[at] == LF) {
        out = mark_line_end(copy_run(out, in + next, in + at));
        next = at + 1;
      } else {  // SUB: read_char ends the input there
        out = copy_run(out, in + next, in + at);
        read_consumed(input, in + at);
        write_committed(output, out);
        return;
      }
    }
    if (next < SCAN_WINDOW) out = copy_run(out, in + next, in + SCAN_WINDOW);
    in += SCAN_WINDOW;
    next = next > SCAN_WINDOW ? next - SCAN_WINDOW : 0;
  }
  read_consumed(input, in + next);
  write_committed(output, out);
}

}  // namespace

void copy_marking_line_ends(TextStream* input, TextStream* output) {
  for (;;) {
    copy_buffered_windows(input, output);
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
