#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "stream_helpers.h"

namespace brmark::testing {
namespace {

constexpr int END = END_OF_INPUT;

std::vector<int> read_all(TextStream* stream, std::size_t limit) {
  std::vector<int> delivered;
  for (std::size_t i = 0; i < limit; ++i) {
    const int ch = read_char(stream);
    delivered.push_back(ch);
    if (ch == END) break;
  }
  return delivered;
}

struct ReadCase {
  const char* what;
  std::string source;
  std::vector<int> delivered;  // up to and including the first END_OF_INPUT
};

void PrintTo(const ReadCase& c, std::ostream* out) {
  *out << c.what;
}

const ReadCase READ_CASES[] = {
    {"CR LF is one LF", "a\r\nb", {'a', '\n', 'b', END}},
    {"CR before CR LF stays", "a\r\r\n", {'a', '\r', '\n', END}},
    {"CR at the end stays", "a\r", {'a', '\r', END}},
    {"lone CR stays", "a\rb", {'a', '\r', 'b', END}},
    {"CR CR", "\r\r", {'\r', '\r', END}},
    {"lone LF", "\n\r\n\n", {'\n', '\n', '\n', END}},
    {"SUB ends the data",
     "a\x1a"
     "b\n",
     {'a', END}},
    {"SUB after CR", "a\r\x1a\n", {'a', '\r', END}},
    {"SUB first", "\x1a", {END}},
    {"NUL and 0xFF are ordinary", std::string("\0\xff\xfe", 3), {0, 0xff, 0xfe, END}},
    {"Shift-JIS double bytes", "\x82\xa0\x95\x5c\r\n", {0x82, 0xa0, 0x95, 0x5c, '\n', END}},
    {"empty", "", {END}},
};

class ReadingRules : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadingRules, DeliverTheSameBytesWhateverTheBufferSize) {
  const ReadCase& c = GetParam();
  SCOPED_TRACE(c.what);
  for (std::size_t size : BUFFER_SIZES) {
    unsigned char buffer[FILE_BUFFER_SIZE];
    TextStream stream;
    const FileHandle handle = pipe_holding(c.source);
    attach_text_stream(&stream, handle, false, false, buffer, size);
    EXPECT_EQ(read_all(&stream, c.source.size() + 2), c.delivered) << "buffer size " << size;
    EXPECT_EQ(read_char(&stream), END) << "the end stays, buffer size " << size;
    EXPECT_FALSE(text_stream_failed(&stream));
    close(static_cast<int>(handle));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadingRules, ::testing::ValuesIn(READ_CASES), case_name<ReadCase>);

// A terminal hands over one line per read: a socket of packets does the same,
// so the rule for SUB typed at a console can be checked without a terminal.
TEST(ConsoleReading, SubEndsOnlyTheLineItIsTypedIn) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
  for (const char* line : {"a\x1a"
                           "b\n",
                           "\x1a\n", "c\n"}) {
    ASSERT_GT(write(ends[1], line, std::string(line).size()), 0);
  }
  close(ends[1]);
  unsigned char buffer[STANDARD_BUFFER_SIZE];
  TextStream stream;
  attach_text_stream(&stream, ends[0], false, true, buffer, sizeof buffer);
  // b and its line end are dropped; the line that begins with SUB is one end;
  // the end is not remembered, so reading goes on with the next line.
  const std::vector<int> expected = {'a', END, 'c', '\n', END};
  std::vector<int> delivered;
  for (std::size_t i = 0; i < expected.size(); ++i) delivered.push_back(read_char(&stream));
  EXPECT_EQ(delivered, expected);
  close(ends[0]);
}

TEST(ReadFailure, EndsTheInputAndIsRemembered) {
  const int directory = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  unsigned char buffer[16];
  TextStream stream;
  attach_text_stream(&stream, directory, false, false, buffer, sizeof buffer);
  EXPECT_EQ(read_char(&stream), END);
  EXPECT_TRUE(text_stream_failed(&stream));
  close(directory);
}

struct WriteCase {
  const char* what;
  std::string written;
  std::string stored;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
  *out << c.what;
}

const WriteCase WRITE_CASES[] = {
    {"LF becomes CR LF", "a\n", "a\r\n"},
    {"CR before LF is kept", "a\r\n", "a\r\r\n"},
    {"lone CR kept", "\r", "\r"},
    {"empty lines", "\n\n", "\r\n\r\n"},
    {"SUB written like any byte",
     "a\x1a"
     "b",
     "a\x1a"
     "b"},
    {"NUL and 0xFF", std::string("\0\xff", 2), std::string("\0\xff", 2)},
};

class WritingRule : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WritingRule, StoresTheSameBytesWhateverTheBufferSize) {
  const WriteCase& c = GetParam();
  SCOPED_TRACE(c.what);
  for (std::size_t size : BUFFER_SIZES) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    unsigned char buffer[FILE_BUFFER_SIZE];
    TextStream stream;
    attach_text_stream(&stream, ends[1], true, false, buffer, size);
    for (char byte : c.written) write_char(&stream, static_cast<unsigned char>(byte));
    flush_text_stream(&stream);
    EXPECT_FALSE(text_stream_failed(&stream));
    close(ends[1]);
    EXPECT_EQ(drain(ends[0]), c.stored) << "buffer size " << size;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, WritingRule, ::testing::ValuesIn(WRITE_CASES),
                         case_name<WriteCase>);

TEST(WriteText, WritesEveryByteThroughTheRule) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  unsigned char buffer[3];
  TextStream stream;
  attach_text_stream(&stream, ends[1], true, false, buffer, sizeof buffer);
  write_text(&stream, "<br>\nx\r\n");
  flush_text_stream(&stream);
  close(ends[1]);
  EXPECT_EQ(drain(ends[0]), "<br>\r\nx\r\r\n");
}

TEST(WriteFailure, IsRememberedAndLaterBytesAreDropped) {
  signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  unsigned char buffer[4];
  TextStream stream;
  attach_text_stream(&stream, ends[1], true, false, buffer, sizeof buffer);
  write_text(&stream, "abc\n");
  EXPECT_TRUE(text_stream_failed(&stream));
  write_text(&stream, "more\n");
  flush_text_stream(&stream);
  EXPECT_TRUE(text_stream_failed(&stream));
  close(ends[1]);
}

}  // namespace
}  // namespace brmark::testing
