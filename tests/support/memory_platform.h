#ifndef BRMARK_TESTS_SUPPORT_MEMORY_PLATFORM_H
#define BRMARK_TESTS_SUPPORT_MEMORY_PLATFORM_H

#include <cstddef>
#include <vector>

#include "platform/platform.h"

// A platform in memory, for fuzzing and benchmarking the streams and the copy
// without system calls: handle SOURCE reads from a byte string in chunks of
// chosen sizes (like a pipe that delivers short reads), handle SINK collects
// or counts what is written. Nothing else is available.
namespace brmark::memory {

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

// Starts over with a new source and an empty sink. A sink that does not keep
// what it is given only counts it.
void reset(const MemorySource& source, bool keep_written = true);
const std::vector<unsigned char>& written();
std::size_t written_count();

}  // namespace brmark::memory

#endif
