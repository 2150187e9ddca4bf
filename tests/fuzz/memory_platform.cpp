// Test-only platform for fuzzing the streams in memory: handle 0 reads from a
// byte string in chunks of chosen sizes (like a pipe that delivers short
// reads), handle 1 collects what is written. Nothing else is available.
#include "fuzz/memory_platform.h"

#include <algorithm>
#include <cstring>

namespace brmark {

namespace {

fuzz::MemorySource source;
std::vector<unsigned char> sink;

}  // namespace

namespace fuzz {

void reset(const MemorySource& new_source) {
  source = new_source;
  sink.clear();
}

const std::vector<unsigned char>& written() {
  return sink;
}

}  // namespace fuzz

void os_start() {}
FileHandle os_standard_input() {
  return -1;
}
FileHandle os_standard_output() {
  return -1;
}
bool os_is_terminal(FileHandle) {
  return false;
}
bool os_open_read(const char*, FileHandle*) {
  return false;
}
CreateResult os_create_exclusive(const char*, FileHandle*) {
  return CreateResult::failed;
}
void os_release_created() {}
bool os_close(FileHandle) {
  return true;
}
bool os_remove(const char*) {
  return false;
}
void os_exit(int) {
  __builtin_trap();
}

std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size) {
  if (handle != fuzz::SOURCE || source.position == source.size) return 0;
  std::size_t chunk = source.chunks[source.next_chunk++ % fuzz::CHUNK_COUNT];
  if (chunk == 0) chunk = size;
  const std::size_t count = std::min({chunk, size, source.size - source.position});
  std::memcpy(buffer, source.bytes + source.position, count);
  source.position += count;
  return static_cast<std::ptrdiff_t>(count);
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
  if (handle != fuzz::SINK) return false;
  sink.insert(sink.end(), bytes, bytes + size);
  return true;
}

}  // namespace brmark
