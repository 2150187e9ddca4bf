#include <unistd.h>

#include <string>

#include "case_name.h"
#include "conversion/marking_copy.h"
#include "stream_helpers.h"

namespace brmark::testing {
namespace {

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
};

class MarkingCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(MarkingCopy, GivesTheSameBytesWhateverTheBufferSizes) {
  const CopyCase& c = GetParam();
  SCOPED_TRACE(c.what);
  for (std::size_t in_size : BUFFER_SIZES) {
    for (std::size_t out_size : BUFFER_SIZES) {
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
