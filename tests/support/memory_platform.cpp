#include "support/memory_platform.h"

#include <algorithm>
#include <cstring>

namespace brmark {

namespace {

memory::MemorySource source;
std::vector<unsigned char> sink;
std::size_t sink_count = 0;
bool keep_sink = true;

using memory::Call;
using memory::FileAt;

struct Fault {
  Call call;
  int nth;
  NameResult result;
};
struct Act {
  Call call;
  int nth;
  std::string name;
  FileAt file;
  bool put;
};

// The folder: names, the files open by handle (from 100 on), and what is armed.
std::map<std::string, FileAt> names;
std::map<FileHandle, FileAt> open_files;
std::vector<Call> not_taken;
std::vector<Fault> faults;
std::vector<Act> acts;
std::vector<std::string> armed_names;
std::vector<std::pair<std::uint64_t, std::uint64_t>> storing_asks;
int calls[static_cast<int>(Call::count)];
std::uint64_t next_number = 1;
bool renumbers = false;
FileHandle next_handle = 100;

// Counts the call, carries out what is to happen before it, and tells how
// it answers: done, or otherwise.
NameResult answer(Call call) {
  const int nth = ++calls[static_cast<int>(call)];
  for (const Act& act : acts) {
    if (act.call != call || act.nth != nth) continue;
    if (act.put) {
      names[act.name] = act.file;
    } else {
      names.erase(act.name);
    }
  }
  if (std::find(not_taken.begin(), not_taken.end(), call) != not_taken.end()) {
    return NameResult::unsupported;
  }
  for (const Fault& fault : faults) {
    if (fault.call == call && fault.nth == nth) return fault.result;
  }
  return NameResult::done;
}

FileHandle open_new(FileAt file) {
  open_files[next_handle] = file;
  return next_handle++;
}

FileAt new_file() {
  return FileAt{1, next_number++};
}

// The open file handle, or where handle is 0 the file at from, named to.
NameResult give_name(Call call, FileHandle handle, const FileName& from, const FileName& to,
                     bool replacing) {
  const NameResult result = answer(call);
  if (result != NameResult::done) return result;
  if (!replacing && names.count(to.bytes) != 0) return NameResult::taken;
  if (handle == 0 && names.count(from.bytes) == 0) return NameResult::failed;
  FileAt& file = handle != 0 ? open_files.at(handle) : names.at(from.bytes);
  if (renumbers && call != Call::link) file.number = next_number++;
  names[to.bytes] = file;
  return NameResult::done;
}

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

void reset_folder(std::vector<Call> unsupported, bool renumbering) {
  renumbers = renumbering;
  names.clear();
  open_files.clear();
  not_taken = std::move(unsupported);
  faults.clear();
  acts.clear();
  armed_names.clear();
  storing_asks.clear();
  std::fill(std::begin(calls), std::end(calls), 0);
  next_number = 1;
}

void fail_call(Call call, int nth, NameResult result) {
  faults.push_back({call, nth, result});
}

void act_before(Call call, int nth, const std::string& name, FileAt file, bool put) {
  acts.push_back({call, nth, name, file, put});
}

const std::map<std::string, FileAt>& folder() {
  return names;
}

std::vector<std::string> armed() {
  return armed_names;
}

const std::vector<std::pair<std::uint64_t, std::uint64_t>>& storing() {
  return storing_asks;
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

NameState os_name_state(const FileName& name, FileIdentity* identity) {
  const auto at = names.find(name.bytes);
  if (at == names.end()) return NameState::absent;
  if (identity != nullptr) *identity = FileIdentity{at->second.volume, {at->second.number, 0}};
  return NameState::taken;
}

std::size_t os_folder_length(const FileName& name) {
  const char* slash = std::strrchr(name.bytes, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - name.bytes) + 1;
}

std::uint64_t os_name_seed() {
  static std::uint64_t seed = 12345;
  return seed = seed * 6364136223846793005U + 1442695040888963407U;
}

NameResult os_open_unnamed(const FileName&, FileHandle* handle) {
  const NameResult result = answer(Call::unnamed);
  if (result == NameResult::done) *handle = open_new(new_file());
  return result;
}

NameResult os_create_new(const FileName& name, bool, FileHandle* handle) {
  const NameResult result = answer(Call::create);
  if (result != NameResult::done) return result;
  if (names.count(name.bytes) != 0) return NameResult::taken;
  *handle = open_new(names[name.bytes] = new_file());
  return NameResult::done;
}

bool os_handle_identity(FileHandle handle, FileIdentity* identity) {
  const auto at = open_files.find(handle);
  if (at == open_files.end()) return false;
  *identity = FileIdentity{at->second.volume, {at->second.number, 0}};
  return true;
}

void os_carry_permissions(FileHandle, FileHandle) {}

bool os_unhide(FileHandle) {
  return true;
}
bool os_flush_to_storage(FileHandle) {
  return answer(Call::flush) == NameResult::done;
}
void os_start_storing(FileHandle, std::uint64_t offset, std::uint64_t length) {
  storing_asks.emplace_back(offset, length);
}
bool os_flush_folder(const FileName&, FileHandle) {
  return answer(Call::flush_folder) == NameResult::done;
}

NameResult os_link_new(FileHandle handle, const FileName* from, const FileName& to) {
  if (from != nullptr && names.count(from->bytes) == 0) return NameResult::failed;
  return give_name(Call::link, handle, from != nullptr ? *from : to, to, false);
}

NameResult os_rename_new(FileHandle handle, const FileName& from, const FileName& to) {
  const NameResult result = give_name(Call::rename_new, handle, from, to, false);
  if (result == NameResult::done) names.erase(from.bytes);
  return result;
}

NameResult os_rename_over(FileHandle handle, const FileName& from, const FileName& to) {
  const NameResult result = give_name(Call::rename_over, handle, from, to, true);
  if (result == NameResult::done) names.erase(from.bytes);
  return result;
}

bool os_remove_if_same(const FileName& name, const FileIdentity& identity) {
  if (answer(Call::remove) != NameResult::done) return false;
  const auto at = names.find(name.bytes);
  if (at != names.end() && at->second == FileAt{identity.volume, identity.file[0]}) {
    names.erase(at);
  }
  return true;
}

void os_hold_interrupts() {}
void os_release_interrupts() {}
bool os_interrupt_pending() {
  return false;
}
void os_arm_removal(const FileName& name, FileHandle, const FileIdentity&) {
  armed_names.emplace_back(name.bytes);
}
bool os_disarm_removals() {
  armed_names.clear();
  return answer(Call::disarm) == NameResult::done;
}

bool os_close(FileHandle handle) {
  if (handle < 100) return true;
  open_files.erase(handle);
  return answer(Call::close) == NameResult::done;
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
  if (open_files.count(handle) != 0) return answer(Call::write) == NameResult::done;
  if (handle != memory::SINK) return false;
  if (keep_sink) sink.insert(sink.end(), bytes, bytes + size);
  sink_count += size;
  return true;
}

}  // namespace brmark
