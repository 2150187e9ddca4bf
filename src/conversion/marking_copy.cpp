#include "conversion/marking_copy.h"

namespace brmark {

void copy_marking_line_ends(TextStream* input, TextStream* output) {
  int ch = read_char(input);
  while (ch != END_OF_INPUT) {
    while (ch != END_OF_INPUT && ch != LF) {
      write_char(output, static_cast<unsigned char>(ch));
      ch = read_char(input);
    }
    if (ch == END_OF_INPUT || text_stream_failed(output)) return;
    // The output stream stores the LF as CR LF, whatever the input's line end was.
    write_text(output, LINE_MARK);
    write_char(output, LF);
    ch = read_char(input);
  }
}

}  // namespace brmark
