#include "support/memory_platform.h"

#include <algorithm>
#include <cstring>

namespace brmark {

namespace {

memory::MemorySource source;
std::vector<unsigned char> sink;
std::size_t sink_count = 0;
bool keep_sink = true;

}  // namespace

namespace memory {

void reset(const MemorySource& new_source, bool keep_written) {
  source = new_source;
  sink.clear();
  sink_count = 0;
  keep_sink = keep_written;
}

const std::vector<unsigned char>& written() {
  return sink;
}
std::size_t written_count() {
  return sink_count;
}

}  // namespace memory

void os_start(TextEncoding) {}
FileHandle os_standard_input() {
  return -1;
}
FileHandle os_standard_output() {
  return -1;
}
bool os_is_terminal(FileHandle) {
  return false;
}
bool os_open_read(const FileName&, FileHandle*) {
  return false;
}
NameState os_name_state(const FileName&) {
  return NameState::unusable;
}
StepResult os_open_draft(DraftWay, const FileName&, FileHandle, Draft*) {
  return StepResult::failed;
}
StepResult os_publish_draft(Draft*, const FileName&) {
  return StepResult::failed;
}
bool os_discard_draft(const Draft&, const FileName&) {
  return false;
}
bool os_name_holds(const FileName&, const Draft&) {
  return false;
}
bool os_remove_published(const FileName&, const Draft&) {
  return false;
}
bool os_close(FileHandle) {
  return true;
}
void os_exit(int) {
  __builtin_trap();
}

std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size, Character*) {
  if (handle != memory::SOURCE || source.position == source.size) return 0;
  std::size_t chunk = source.chunks[source.next_chunk++ % memory::CHUNK_COUNT];
  if (chunk == 0) chunk = size;
  const std::size_t count = std::min({chunk, size, source.size - source.position});
  std::memcpy(buffer, source.bytes + source.position, count);
  source.position += count;
  return static_cast<std::ptrdiff_t>(count);
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
  if (handle != memory::SINK) return false;
  if (keep_sink) sink.insert(sink.end(), bytes, bytes + size);
  sink_count += size;
  return true;
}

}  // namespace brmark
