#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "case_name.h"
#include "conversion/marking_copy.h"
#include "guarded_pages.h"
#include "reference_copy.h"
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

// Lines that fill more than an input and an output buffer (about 200 KB),
// so that the output's flushes store whole pages and keep the rest.
std::string lines_over_a_buffer(const char* line_end) {
  std::string text;
  for (int i = 0; i < 220; ++i) text += ladder(line_end);
  return text;
}

std::string repeated(const char* text, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
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
    // Far from the end of the data, where the bulk path looks at the windows.
    {"SUB among many lines", ladder("\n") + "\x1a" + ladder("\n"), ladder("<br>\r\n")},
    // The windows lie on 64-byte boundaries of the buffer, the bytes before
    // the first one going through the byte-at-a-time path: the first window
    // ends at byte 127, the second at 191.
    {"CR LF split by a window", std::string(127, 'w') + "\r\n" + std::string(200, 'v'),
     std::string(127, 'w') + "<br>\r\n" + std::string(200, 'v')},
    {"lone CR ending a window", std::string(127, 'w') + "\r" + std::string(200, 'v') + "\n",
     std::string(127, 'w') + "\r" + std::string(200, 'v') + "<br>\r\n"},
    {"CR LF split by the last window", std::string(191, 'w') + "\r\n" + std::string(200, 'v'),
     std::string(191, 'w') + "<br>\r\n" + std::string(200, 'v')},
    // The shuffle path of a window dense with LFs must see the CR before it.
    {"CR ending a window before one dense with LFs",
     std::string(127, 'a') + "\r\n" + repeated("b\n", 200),
     std::string(127, 'a') + "<br>\r\n" + repeated("b<br>\r\n", 200)},
    // A lone CR that ends a fill is decided by a refill, and the windows then
    // start at the buffer's first byte: the byte before it is not the
    // kernel's to read.
    {"lone CR ending a fill before a window dense with LFs",
     std::string(191, 'a') + "\r" + repeated("b\n", 100),
     std::string(191, 'a') + "\r" + repeated("b<br>\r\n", 100)},
    {"lone CR ending a fill before a window dense with CR LF pairs",
     std::string(191, 'a') + "\r" + repeated("b\r\n", 100),
     std::string(191, 'a') + "\r" + repeated("b<br>\r\n", 100)},
    {"lone CR ending a file buffer before a window dense with LFs",
     std::string(FILE_BUFFER_SIZE - 1, 'a') + "\r" + repeated("b\n", 100),
     std::string(FILE_BUFFER_SIZE - 1, 'a') + "\r" + repeated("b<br>\r\n", 100)},
    // Blank lines expand sixfold: the kernels must stop short of the end of
    // the output buffer wherever the expansion brings them near it.
    {"long run of blank lines near the end of the output",
     std::string(39, 'x') + std::string(200000, '\n'),
     std::string(39, 'x') + repeated("<br>\r\n", 200000)},
    {"output over a buffer", lines_over_a_buffer("\r\n"), lines_over_a_buffer("<br>\r\n")},
    {"CR at the end of a long input", std::string(147, 'z') + "\r", std::string(147, 'z') + "\r"},
};

// Small sizes, and around the sizes where the copy starts moving 64-byte
// windows: 192 bytes of input (one window after the first 64 bytes, and the
// two it reads) and 576 of output; at 256 the copy stops after two windows.
constexpr std::size_t COPY_BUFFER_SIZES[] = {
    1, 3, 127, 191, 192, 193, 255, 256, 575, 576, 577, 700, FILE_BUFFER_SIZE};
// Inputs longer than this go only through buffers of at least
// LARGE_INPUT_BUFFER bytes: through smaller ones they would cost a system
// call every few bytes, and the short inputs already put every boundary
// there.
constexpr std::size_t SHORT_INPUT = 4096;
constexpr std::size_t LARGE_INPUT_BUFFER = 575;

// The kernels this processor runs; the test run says which it lacks.
std::vector<KernelKind> runnable_kernels() {
  std::vector<KernelKind> kinds;
  for (KernelKind kind : KERNEL_KINDS) {
    if (copy_kernel(kind) != nullptr) {
      kinds.push_back(kind);
    } else {
      std::cout << "kernel " << kernel_name(kind) << " not run: this processor lacks it\n";
    }
  }
  return kinds;
}

const std::vector<KernelKind> KERNELS = runnable_kernels();

// The streams' buffers against guard pages: the input's first or last byte
// touches one, as input_first says, and the output's last byte does.
const GuardedPages in_pages(FILE_BUFFER_SIZE);
const GuardedPages out_pages(FILE_BUFFER_SIZE);

// The copy of input with the given kernel and buffer sizes, from a pipe into
// a file in memory.
std::string copied(const std::string& input, KernelKind kind, std::size_t in_size,
                   std::size_t out_size, bool input_first) {
  TextStream in;
  TextStream out;
  const FileHandle source = pipe_holding(input);
  const int sink = memfd_create("copy", MFD_CLOEXEC);
  EXPECT_GE(sink, 0);
  attach_text_stream(&in, source, false, false,
                     input_first ? in_pages.at_front() : in_pages.at_back(in_size), in_size);
  attach_text_stream(&out, sink, true, false, out_pages.at_back(out_size), out_size);
  copy_marking_line_ends_with(&in, &out, copy_kernel(kind));
  flush_text_stream(&out);
  EXPECT_FALSE(text_stream_failed(&out));
  close(static_cast<int>(source));
  EXPECT_EQ(lseek(sink, 0, SEEK_SET), 0);
  return drain(sink);
}

// Where two copies first differ, so that a failure shows that and not
// hundreds of kilobytes.
::testing::AssertionResult same_copy(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
         << at << ": " << ::testing::PrintToString(actual.substr(at, 24)) << " instead of "
         << ::testing::PrintToString(expected.substr(at, 24));
}

class MarkingCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(MarkingCopy, GivesTheSameBytesWhateverTheKernelAndBufferSizes) {
  const CopyCase& c = GetParam();
  SCOPED_TRACE(c.what);
  const std::size_t smallest = c.input.size() > SHORT_INPUT ? LARGE_INPUT_BUFFER : 1;
  bool input_first = false;
  for (KernelKind kind : KERNELS) {
    for (std::size_t in_size : COPY_BUFFER_SIZES) {
      for (std::size_t out_size : COPY_BUFFER_SIZES) {
        if (in_size < smallest || out_size < smallest) continue;
        // Each size pair meets the input's guard on one side, in turn.
        input_first = !input_first;
        ASSERT_TRUE(same_copy(copied(c.input, kind, in_size, out_size, input_first), c.output))
            << kernel_name(kind) << " kernel, buffers " << in_size << " and " << out_size
            << (input_first ? ", input at its front guard" : ", input at its back guard");
      }
    }
  }
}

// Random text drawn mostly from line ends, lone CRs and their near misses,
// so that every arrangement of them in a window and across windows occurs,
// with runs of every length from 0 to 200 and now and then a SUB.
std::string random_text(std::mt19937& random) {
  const char pool[] = {'\r', '\n', '\r', '\n', '\x0b', '\x0c', '\x0e', '\x1b', '\x8d', 'x'};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof pool - 1);
  std::uniform_int_distribution<int> run(0, 200);
  std::uniform_int_distribution<int> chance(0, 99);
  std::string text;
  while (text.size() < 3000) {
    text += std::string(static_cast<std::size_t>(run(random)) * (chance(random) < 70 ? 0 : 1), 'y');
    text += pool[pick(random)];
    if (chance(random) == 0 && chance(random) < 30) text += '\x1a';
  }
  return text;
}

TEST(MarkingCopy, RandomWindowsGiveWhatTheRulesGiveWithEveryKernel) {
  std::mt19937 random(11);
  std::uniform_int_distribution<std::size_t> in_size(129, 700);
  // Output buffers over 2112 bytes, room for four windows, let the kernels
  // that take four at a time do so.
  std::uniform_int_distribution<std::size_t> out_size(576, 2600);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_text(random);
    const std::string expected =
        reference_copy(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    const std::size_t sizes[2] = {in_size(random), out_size(random)};
    for (KernelKind kind : KERNELS) {
      ASSERT_TRUE(same_copy(copied(text, kind, sizes[0], sizes[1], round % 2 == 0), expected))
          << kernel_name(kind) << " kernel, round " << round << ", buffers " << sizes[0] << " and "
          << sizes[1];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MarkingCopy, ::testing::ValuesIn(COPY_CASES), case_name<CopyCase>);

}  // namespace
}  // namespace brmark::testing
