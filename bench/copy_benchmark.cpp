// The marked copy in memory, without system calls: GB/s of input for each
// kind of text the throughput benchmark (run.py) uses, through the streams
// (what the program runs) and the kernel alone (what the streams add is the
// difference).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "conversion/marking_copy.h"
#include "conversion/text_stream.h"
#include "support/memory_platform.h"

namespace {

constexpr std::size_t CORPUS_SIZE = 16 << 20;

std::string lines(std::mt19937& random, std::size_t max_length, const std::string& line_end,
                  bool double_byte) {
  std::string text;
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<int> printable(0x20, 0x7E);
  std::uniform_int_distribution<int> lead(0x88, 0x9F);
  std::uniform_int_distribution<int> trail(0x40, 0xFC);
  while (text.size() < CORPUS_SIZE) {
    for (std::size_t n = length(random); n > 0; --n) {
      if (double_byte) {
        text += static_cast<char>(lead(random));
        const int low = trail(random);
        text += static_cast<char>(low == 0x7F ? 0x80 : low);
      } else {
        text += static_cast<char>(printable(random));
      }
    }
    text += line_end;
  }
  return text;
}

enum Corpus { CRLF, LF, SHIFT_JIS, ONE_LINE, SHORT_LINES, SHORT_CRLF_LINES };

std::string corpus(Corpus kind) {
  std::mt19937 random(static_cast<unsigned>(kind));
  switch (kind) {
    case CRLF:
      return lines(random, 160, "\r\n", false);
    case LF:
      return lines(random, 160, "\n", false);
    case SHIFT_JIS:
      return lines(random, 80, "\r\n", true);
    case ONE_LINE: {
      std::string line(CORPUS_SIZE, 'x');
      std::uniform_int_distribution<int> byte(0x1B, 0xFF);  // above CR, LF and SUB
      for (char& c : line) c = static_cast<char>(byte(random));
      return line;
    }
    case SHORT_CRLF_LINES:
      return lines(random, 1, "\r\n", false);
    case SHORT_LINES:
      break;
  }
  return lines(random, 1, "\n", false);
}

alignas(4096) unsigned char input_buffer[brmark::FILE_BUFFER_SIZE];
alignas(4096) unsigned char output_buffer[brmark::FILE_BUFFER_SIZE + 2048];

void BM_MarkedCopy(benchmark::State& state, Corpus kind, brmark::CopyKernel kernel) {
  const std::string text = corpus(kind);
  for (auto _ : state) {
    brmark::memory::MemorySource source;
    source.bytes = reinterpret_cast<const unsigned char*>(text.data());
    source.size = text.size();
    brmark::memory::reset(source, false);
    brmark::TextStream input;
    brmark::TextStream output;
    brmark::attach_text_stream(&input, brmark::memory::SOURCE, false, false, input_buffer,
                               sizeof input_buffer);
    brmark::attach_text_stream(&output, brmark::memory::SINK, true, false, output_buffer + 2048,
                               brmark::FILE_BUFFER_SIZE);
    brmark::copy_marking_line_ends_with(&input, &output, kernel);
    brmark::flush_text_stream(&output);
    benchmark::DoNotOptimize(brmark::memory::written_count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The corpus where the program's windows lie: on a 64-byte boundary.
struct Aligned {
  void operator()(unsigned char* bytes) const { std::free(bytes); }
};
std::unique_ptr<unsigned char, Aligned> aligned_copy(const std::string& text) {
  const std::size_t size = (text.size() + 63) / 64 * 64;
  std::unique_ptr<unsigned char, Aligned> bytes(
      static_cast<unsigned char*>(std::aligned_alloc(64, size)));
  std::memcpy(bytes.get(), text.data(), text.size());
  return bytes;
}

// The kernel alone: each file-buffer piece of the corpus in turn, read where
// it lies, into the output buffer at the program's offset, which is started
// over whenever the kernel hands back for room. What the kernel leaves at a
// piece's end is skipped: a few bytes a piece.
void BM_Kernel(benchmark::State& state, Corpus kind, brmark::CopyKernel kernel) {
  const std::string text = corpus(kind);
  const auto bytes = aligned_copy(text);
  unsigned char* const out = output_buffer + 2048;
  const unsigned char* const out_end = out + brmark::FILE_BUFFER_SIZE;
  const std::size_t piece = brmark::FILE_BUFFER_SIZE;
  for (auto _ : state) {
    for (std::size_t at = 0; at + piece <= text.size(); at += piece) {
      const unsigned char* const end = bytes.get() + at + piece;
      brmark::CopyProgress from{bytes.get() + at, out};
      for (;;) {
        const brmark::CopyProgress to = kernel(from, end, out_end);
        if (to.in == from.in) break;
        from = {to.in, out};
      }
      benchmark::DoNotOptimize(from.in);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(text.size() / piece * piece));
}

// Every kernel this processor runs, on every corpus, through the streams and
// alone.
void register_benchmarks() {
  const struct {
    const char* name;
    Corpus kind;
  } corpora[] = {
      {"crlf_lines_0_to_160", CRLF},           {"lf_lines_0_to_160", LF},
      {"shift_jis_crlf", SHIFT_JIS},           {"one_line", ONE_LINE},
      {"empty_and_1_byte_lines", SHORT_LINES}, {"empty_and_1_byte_crlf_lines", SHORT_CRLF_LINES},
  };
  for (brmark::KernelKind kind : brmark::KERNEL_KINDS) {
    const brmark::CopyKernel kernel = brmark::copy_kernel(kind);
    if (kernel == nullptr) continue;
    for (const auto& corpus : corpora) {
      const std::string name = std::string(corpus.name) + "/" + brmark::kernel_name(kind);
      benchmark::RegisterBenchmark(name.c_str(), BM_MarkedCopy, corpus.kind, kernel)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((name + "/kernel_alone").c_str(), BM_Kernel, corpus.kind, kernel)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
