// The marked copy in memory, without system calls: GB/s of input for each
// kind of text the throughput benchmark (run.py) uses.
#include <benchmark/benchmark.h>

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

enum Corpus { CRLF, LF, SHIFT_JIS, ONE_LINE, SHORT_LINES };

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

// Every kernel this processor runs, on every corpus.
void register_benchmarks() {
  const struct {
    const char* name;
    Corpus kind;
  } corpora[] = {{"crlf_lines_0_to_160", CRLF},
                 {"lf_lines_0_to_160", LF},
                 {"shift_jis_crlf", SHIFT_JIS},
                 {"one_line", ONE_LINE},
                 {"empty_and_1_byte_lines", SHORT_LINES}};
  for (brmark::KernelKind kind : brmark::KERNEL_KINDS) {
    const brmark::CopyKernel kernel = brmark::copy_kernel(kind);
    if (kernel == nullptr) continue;
    for (const auto& corpus : corpora) {
      const std::string name = std::string(corpus.name) + "/" + brmark::kernel_name(kind);
      benchmark::RegisterBenchmark(name.c_str(), BM_MarkedCopy, corpus.kind, kernel)
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
