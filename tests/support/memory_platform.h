#ifndef BRMARK_TESTS_SUPPORT_MEMORY_PLATFORM_H
#define BRMARK_TESTS_SUPPORT_MEMORY_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

// A platform in memory, for fuzzing and benchmarking the streams and the copy
// without system calls, and for driving the output's life through every turn
// a folder can take.
namespace brmark::memory {

// Handle SOURCE reads from a byte string in chunks of chosen sizes (like a
// pipe that delivers short reads), handle SINK collects or counts what is
// written.
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

// One folder of files, each known by its volume and number. The calls on it
// that a test can make answer otherwise, once, or act on the folder before
// they are made.
enum class Call {
  unnamed,
  create,
  link,
  rename_new,
  rename_over,
  flush,
  flush_folder,
  close,
  write,
  remove,
  disarm,
  count
};

struct FileAt {
  std::uint64_t volume;
  std::uint64_t number;
  bool operator==(const FileAt& other) const {
    return volume == other.volume && number == other.number;
  }
};

// An empty folder on volume 1 that takes every call but those given; where
// renumbering, a file renamed gets a new number, as on FAT.
void reset_folder(std::vector<Call> unsupported = {}, bool renumbering = false);
// The n-th call (from 1) of that kind answers failed, or for a call that
// answers with a NameResult, result.
void fail_call(Call call, int nth, NameResult result = NameResult::failed);
// Before the n-th call of that kind: another program puts its own file at
// name (replacing what is there), or removes it when put is false. Such a
// file may have any volume and number.
void act_before(Call call, int nth, const std::string& name, FileAt file, bool put = true);
// What stands in the folder, what an interrupt would remove now, and each
// range of a file the system was asked to start storing.
const std::map<std::string, FileAt>& folder();
std::vector<std::string> armed();
const std::vector<std::pair<std::uint64_t, std::uint64_t>>& storing();

}  // namespace brmark::memory

#endif
