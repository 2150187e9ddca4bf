// Differential fuzzing of the marked copy and its text streams, with every
// kernel the processor runs, against a plain reference written from the rules
// alone. The first bytes of each input choose the buffer sizes and the sizes
// of successive reads, so CR LF pairs split between refills and windows, SUB
// at any place, short reads and flushes that keep part of a page are all
// explored.
#include <cstddef>
#include <cstdint>
#include <string>

#include "conversion/marking_copy.h"
#include "conversion/text_stream.h"
#include "guarded_pages.h"
#include "reference_copy.h"
#include "support/memory_platform.h"

namespace {

// Mostly small buffers, where boundaries are dense; sizes just over a page
// and the copy's room, where a flush stores whole pages and keeps the rest;
// now and then the real size.
std::size_t buffer_size(unsigned char choice) {
  if (choice >= 240) return brmark::FILE_BUFFER_SIZE;
  if (choice >= 200) return 4096 + 600 + (choice - 200) * 29u;
  return 1 + choice % 64;
}

constexpr std::size_t HEADER_SIZE = 2 + brmark::memory::CHUNK_COUNT;

// The buffers touch guard pages: the output's last byte, and the input's
// first or last byte as the input chooses, so that any access past them
// stops the run.
const brmark::testing::GuardedPages input_pages(brmark::FILE_BUFFER_SIZE);
const brmark::testing::GuardedPages output_pages(brmark::FILE_BUFFER_SIZE);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < HEADER_SIZE) return 0;
  brmark::memory::MemorySource source;
  source.bytes = data + HEADER_SIZE;
  source.size = size - HEADER_SIZE;
  for (std::size_t i = 0; i < brmark::memory::CHUNK_COUNT; ++i) source.chunks[i] = data[2 + i] % 8;
  const std::size_t in_size = buffer_size(data[0]);
  const std::size_t out_size = buffer_size(data[1]);
  // A bit the chunk sizes leave unused.
  unsigned char* const in_buffer =
      (data[2] & 0x80) != 0 ? input_pages.at_front() : input_pages.at_back(in_size);

  const std::string expected = brmark::testing::reference_copy(source.bytes, source.size);
  // Every kernel this processor runs must give the same bytes.
  for (brmark::KernelKind kind : brmark::KERNEL_KINDS) {
    const brmark::CopyKernel kernel = brmark::copy_kernel(kind);
    if (kernel == nullptr) continue;
    brmark::memory::reset(source);
    brmark::TextStream input;
    brmark::TextStream output;
    brmark::attach_text_stream(&input, brmark::memory::SOURCE, false, false, in_buffer, in_size);
    brmark::attach_text_stream(&output, brmark::memory::SINK, true, false,
                               output_pages.at_back(out_size), out_size);
    brmark::copy_marking_line_ends_with(&input, &output, kernel);
    brmark::flush_text_stream(&output);
    const std::vector<unsigned char>& written = brmark::memory::written();
    if (brmark::text_stream_failed(&input) || brmark::text_stream_failed(&output) ||
        std::string(written.begin(), written.end()) != expected) {
      __builtin_trap();
    }
  }
  return 0;
}
