#ifndef BRMARK_TESTS_FUZZ_MEMORY_PLATFORM_H
#define BRMARK_TESTS_FUZZ_MEMORY_PLATFORM_H

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace brmark::fuzz {

constexpr FileHandle SOURCE = 0;
constexpr FileHandle SINK = 1;
constexpr std::size_t CHUNK_COUNT = 4;

struct MemorySource {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
  std::size_t position = 0;
  // Sizes of successive reads, in turn; 0 delivers as much as asked.
  std::size_t chunks[CHUNK_COUNT] = {};
  std::size_t next_chunk = 0;
};

void reset(const MemorySource& source);
const std::vector<unsigned char>& written();

}  // namespace brmark::fuzz

#endif
