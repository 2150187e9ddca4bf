// Differential fuzzing of the marked copy and its text streams against a
// plain reference written from the rules alone. The first bytes of each input
// choose the buffer sizes and the sizes of successive reads, so CR LF pairs
// split between refills, SUB at any place and short reads are all explored.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "conversion/marking_copy.h"
#include "conversion/text_stream.h"
#include "support/memory_platform.h"

namespace {

using brmark::CR;
using brmark::LF;
using brmark::SUB;

// CR LF and lone LF end a line, marked as "<br>" CR LF; SUB ends the input;
// every other byte, a lone CR included, is copied.
std::vector<unsigned char> reference(const unsigned char* data, std::size_t size) {
  static const unsigned char MARKED_END[] = {'<', 'b', 'r', '>', CR, LF};
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i < size && data[i] != SUB; ++i) {
    const bool crlf = data[i] == CR && i + 1 < size && data[i + 1] == LF;
    if (crlf || data[i] == LF) {
      out.insert(out.end(), MARKED_END, MARKED_END + sizeof MARKED_END);
      if (crlf) ++i;
    } else {
      out.push_back(data[i]);
    }
  }
  return out;
}

// Mostly small buffers, where boundaries are dense; now and then the real size.
std::size_t buffer_size(unsigned char choice) {
  return choice >= 240 ? brmark::FILE_BUFFER_SIZE : 1 + choice % 64;
}

constexpr std::size_t HEADER_SIZE = 2 + brmark::memory::CHUNK_COUNT;

unsigned char input_buffer[brmark::FILE_BUFFER_SIZE];
unsigned char output_buffer[brmark::FILE_BUFFER_SIZE];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < HEADER_SIZE) return 0;
  brmark::memory::MemorySource source;
  source.bytes = data + HEADER_SIZE;
  source.size = size - HEADER_SIZE;
  for (std::size_t i = 0; i < brmark::memory::CHUNK_COUNT; ++i) source.chunks[i] = data[2 + i] % 8;
  brmark::memory::reset(source);

  brmark::TextStream input;
  brmark::TextStream output;
  brmark::attach_text_stream(&input, brmark::memory::SOURCE, false, false, input_buffer,
                             buffer_size(data[0]));
  brmark::attach_text_stream(&output, brmark::memory::SINK, true, false, output_buffer,
                             buffer_size(data[1]));
  brmark::copy_marking_line_ends(&input, &output);
  brmark::flush_text_stream(&output);

  if (brmark::text_stream_failed(&input) || brmark::text_stream_failed(&output) ||
      brmark::memory::written() != reference(source.bytes, source.size)) {
    __builtin_trap();
  }
  return 0;
}
