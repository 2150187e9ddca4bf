#include <unistd.h>

#include <string>

#include "case_name.h"
#include "conversion/marking_copy.h"
#include "stream_helpers.h"

namespace brmark::testing {
namespace {

// Lines of 0 to 40 bytes, each ended by line_end.
std::string ladder(const char* line_end) {
  std::string text;
  for (std::size_t length = 0; length <= 40; ++length) {
    text += std::string(length, static_cast<char>('a' + length % 26)) + line_end;
  }
  return text;
}

struct CopyCase {
  const char* what;
  std::string input;
  std::string output;
};

void PrintTo(const CopyCase& c, std::ostream* out) {
  *out << c.what;
}

const CopyCase COPY_CASES[] = {
    {"empty input", "", ""},
    {"one empty line", "\n", "<br>\r\n"},
    {"two empty lines", "\n\n", "<br>\r\n<br>\r\n"},
    {"last line without a line end", "a\nb", "a<br>\r\nb"},
    {"CR LF lines", "a\r\nb\r\n", "a<br>\r\nb<br>\r\n"},
    {"marker already there", "x<br>\n", "x<br><br>\r\n"},
    {"lone CR marks nothing", "a\rb", "a\rb"},
    {"CR before CR LF", "a\r\r\n", "a\r<br>\r\n"},
    {"CR at the end", "a\r", "a\r"},
    {"0xFF is ordinary",
     "a\xff"
     "b",
     "a\xff"
     "b"},
    {"NUL is copied", std::string("a\0b\n", 4), std::string("a\0b<br>\r\n", 9)},
    {"SUB ends the input",
     "a\n\x1a"
     "b\n",
     "a<br>\r\n"},
    {"Shift-JIS passes intact", "\x82\xa0\x95\x5c\r\n\x83\x5c", "\x82\xa0\x95\x5c<br>\r\n\x83\x5c"},
    // Longer inputs, so that line ends, lone CRs and SUB fall at every place
    // of a 64-byte window and at the ends of buffers of every size below.
    {"CR LF pairs at every offset", ladder("\r\n"), ladder("<br>\r\n")},
    {"LF at every offset", ladder("\n"), ladder("<br>\r\n")},
    {"lone CR at every offset", ladder("\r"), ladder("\r")},
    {"CR CR LF at every offset", ladder("\r\r\n"), ladder("\r<br>\r\n")},
    {"SUB after a long run", std::string(140, 'x') + "\r\n" + std::string(21, 'y') + "\x1a\n",
     std::string(140, 'x') + "<br>\r\n" + std::string(21, 'y')},
    {"CR LF split by a window", std::string(63, 'w') + "\r\n" + std::string(100, 'v'),
     std::string(63, 'w') + "<br>\r\n" + std::string(100, 'v')},
    {"lone CR ending a window", std::string(63, 'w') + "\r" + std::string(100, 'v') + "\n",
     std::string(63, 'w') + "\r" + std::string(100, 'v') + "<br>\r\n"},
    {"CR at the end of a long input", std::string(147, 'z') + "\r", std::string(147, 'z') + "\r"},
};

// Small sizes, and around the sizes where the copy starts moving 64-byte
// windows: 128 bytes of input and 576 of output.
constexpr std::size_t COPY_BUFFER_SIZES[] = {1,   3,   127, 128, 129, 150,
                                             191, 575, 576, 577, 700, FILE_BUFFER_SIZE};

class MarkingCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(MarkingCopy, GivesTheSameBytesWhateverTheBufferSizes) {
  const CopyCase& c = GetParam();
  SCOPED_TRACE(c.what);
  for (std::size_t in_size : COPY_BUFFER_SIZES) {
    for (std::size_t out_size : COPY_BUFFER_SIZES) {
      unsigned char in_buffer[FILE_BUFFER_SIZE];
      unsigned char out_buffer[FILE_BUFFER_SIZE];
      TextStream input;
      TextStream output;
      const FileHandle source = pipe_holding(c.input);
      int sink[2];
      ASSERT_EQ(pipe(sink), 0);
      attach_text_stream(&input, source, false, false, in_buffer, in_size);
      attach_text_stream(&output, sink[1], true, false, out_buffer, out_size);
      copy_marking_line_ends(&input, &output);
      flush_text_stream(&output);
      close(sink[1]);
      close(static_cast<int>(source));
      EXPECT_EQ(drain(sink[0]), c.output) << "buffers " << in_size << " and " << out_size;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MarkingCopy, ::testing::ValuesIn(COPY_CASES), case_name<CopyCase>);

}  // namespace
}  // namespace brmark::testing
