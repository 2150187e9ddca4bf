// POSIX: the files. Names are bytes, opened as they are. The output is
// written where nobody takes it for the copy (an unnamed file, or a hidden
// name beside it) and given its name once whole, never replacing anything.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix.h"

namespace brmark {

namespace {

bool is_directory(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

int open_retrying(const char* name, int flags, mode_t mode) {
  int fd = 0;
  do {
    fd = open(name, flags, mode);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

// Linux makes a file without a name in a folder; elsewhere there is none.
#ifdef O_TMPFILE
int open_unnamed(const char* folder, mode_t mode) {
  return open_retrying(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}
#else
int open_unnamed(const char* /*folder*/, mode_t /*mode*/) {
  errno = EOPNOTSUPP;
  return -1;
}
#endif

// Renaming that never replaces what stands at the new name: Linux's
// renameat2; elsewhere there is none.
#ifdef RENAME_NOREPLACE
int rename_no_replace(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}
#else
int rename_no_replace(const char* /*from*/, const char* /*to*/) {
  errno = ENOSYS;
  return -1;
}
#endif

}  // namespace

// Removes path while it is the file device and inode name, and says whether
// nothing of that file is left under it. Async-signal-safe.
bool remove_if_same(const char* path, dev_t device, ino_t inode) {
  struct stat status {};
  if (lstat(path, &status) != 0) return errno == ENOENT;
  if (status.st_dev != device || status.st_ino != inode) return true;
  return unlink(path) == 0 || errno == ENOENT;
}

bool os_open_read(const FileName& name, FileHandle* handle) {
  const int fd = open_retrying(name.bytes, O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
  if (fd == -1) return false;
  if (is_directory(fd)) {
    close(fd);
    return false;
  }
  *handle = fd;
  return true;
}

NameState os_name_state(const FileName& name) {
  struct stat status {};
  if (lstat(name.bytes, &status) == 0) return NameState::taken;
  return errno == ENOENT ? NameState::absent : NameState::unusable;
}

namespace {

// Nor readable by a group that could not read the input: the new file fd
// (copy) gets the input's group where the system allows, else no group bits
// at all. Where the file system keeps no owners (vfat), neither call changes
// anything, and the mount decides.
void share_group_of(const struct stat& input, int fd, const struct stat& copy) {
  if (copy.st_gid == input.st_gid) return;
  if (fchown(fd, static_cast<uid_t>(-1), input.st_gid) == 0) return;
  (void)fchmod(fd, copy.st_mode & 0707);
}

// The folder that holds name: what stands before its last slash, with the
// slash; empty for a name in the current folder.
std::size_t folder_length(const char* name) {
  const char* slash = std::strrchr(name, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - name) + 1;
}

// How the process reaches its own descriptor: the way an unnamed file is
// given its name.
void descriptor_path(int fd, char* path, std::size_t size) {
  (void)std::snprintf(path, size, "/proc/self/fd/%d", fd);
}

// Checked before anything is written: a copy that could not be named at the
// end would be work lost.
bool can_be_named(int fd) {
  char path[32];
  descriptor_path(fd, path, sizeof path);
  struct stat by_path {};
  struct stat by_fd {};
  return stat(path, &by_path) == 0 && fstat(fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
         by_path.st_ino == by_fd.st_ino;
}

StepResult failure_of(int error) {
  return error == EEXIST ? StepResult::name_taken : StepResult::failed;
}

StepResult open_unnamed_draft(const char* name, mode_t mode, int* fd) {
  char folder[DRAFT_NAME_ROOM];
  const std::size_t length = folder_length(name);
  if (length + 2 > sizeof folder) return StepResult::failed;
  std::memcpy(folder, length == 0 ? "." : name, length == 0 ? 2 : length);
  if (length > 0) folder[length] = '\0';
  *fd = open_unnamed(folder, mode);
  if (*fd == -1) {
    // EISDIR: a kernel that does not know unnamed files.
    const bool missing = errno == EOPNOTSUPP || errno == EISDIR;
    return missing ? StepResult::unavailable : StepResult::failed;
  }
  if (can_be_named(*fd)) return StepResult::done;
  (void)close(*fd);
  return StepResult::unavailable;
}

// A new name in name's folder for a file only this run knows: a dot, so that
// listings pass over it, "brmark-" so that a user knows whose it is, and six
// characters that differ from call to call. Short enough for any file
// system's name limit.
bool aside_name(const char* name, char* aside, std::size_t size) {
  static unsigned long calls = 0;
  struct timespec now {};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  unsigned long mixed = static_cast<unsigned long>(now.tv_nsec) ^
                        static_cast<unsigned long>(now.tv_sec) * 2654435761UL ^
                        static_cast<unsigned long>(getpid()) << 16 ^ ++calls * 40503UL;
  const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  char tail[7];
  for (char& digit : tail) {
    digit = digits[mixed % 36];
    mixed /= 36;
  }
  tail[6] = '\0';
  const int length = static_cast<int>(folder_length(name));
  const int written = std::snprintf(aside, size, "%.*s.brmark-%s", length, name, tail);
  return written > 0 && static_cast<std::size_t>(written) < size;
}

// Creates a new file under a fresh aside name, which an interrupt removes
// from the moment it exists.
StepResult create_aside(const char* name, mode_t mode, Draft* draft, int* fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!aside_name(name, draft->aside, sizeof draft->aside)) return StepResult::failed;
    const SignalsHeld held;
    *fd = open_retrying(draft->aside, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
    if (*fd != -1) {
      arm_removal(draft->aside, *fd);
      return StepResult::done;
    }
    if (errno != EEXIST) return StepResult::failed;
  }
  return StepResult::failed;
}

// Gives up an aside file whose way this file system does not support.
void drop_aside(Draft* draft, int fd) {
  const SignalsHeld held;
  (void)close(fd);
  (void)unlink(draft->aside);
  disarm_removal();
}

// Whether the folder takes hard links: the aside file is linked to a second
// aside name, which is removed at once.
bool takes_links(const Draft& draft) {
  char second[DRAFT_NAME_ROOM];
  if (!aside_name(draft.aside, second, sizeof second)) return false;
  const SignalsHeld held;
  if (linkat(AT_FDCWD, draft.aside, AT_FDCWD, second, 0) != 0) return false;
  (void)unlink(second);
  return true;
}

// Whether the folder takes renaming without replacing: the aside file is
// renamed to a second aside name, which it keeps.
bool takes_renames(Draft* draft) {
  char second[DRAFT_NAME_ROOM];
  if (!aside_name(draft->aside, second, sizeof second)) return false;
  const SignalsHeld held;
  if (rename_no_replace(draft->aside, second) != 0) return false;
  std::memcpy(draft->aside, second, std::strlen(second) + 1);
  move_removal(second);
  return true;
}

StepResult open_aside_draft(DraftWay way, const char* name, mode_t mode, Draft* draft, int* fd) {
  const StepResult created = create_aside(name, mode, draft, fd);
  if (created != StepResult::done) return created;
  const bool publishable = way == DraftWay::aside_link ? takes_links(*draft) : takes_renames(draft);
  if (publishable) return StepResult::done;
  drop_aside(draft, *fd);
  return StepResult::unavailable;
}

// The last resort: created under its name, which an interrupt removes until
// it is published.
StepResult open_draft_under_name(const char* name, mode_t mode, int* fd) {
  const SignalsHeld held;
  *fd = open_retrying(name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
  if (*fd == -1) return failure_of(errno);
  arm_removal(name, *fd);
  return StepResult::done;
}

StepResult open_draft_file(DraftWay way, const char* name, mode_t mode, Draft* draft, int* fd) {
  switch (way) {
    case DraftWay::unnamed:
      return open_unnamed_draft(name, mode, fd);
    case DraftWay::aside_link:
    case DraftWay::aside_rename:
      return open_aside_draft(way, name, mode, draft, fd);
    case DraftWay::under_name:
      return open_draft_under_name(name, mode, fd);
  }
  return StepResult::failed;
}

bool same_file(const struct stat& status, const Draft& draft) {
  return status.st_dev == static_cast<dev_t>(draft.identity[0]) &&
         status.st_ino == static_cast<ino_t>(draft.identity[1]);
}

bool remove_if_draft(const char* path, const Draft& draft) {
  return remove_if_same(path, static_cast<dev_t>(draft.identity[0]),
                        static_cast<ino_t>(draft.identity[1]));
}

StepResult publish_unnamed(int fd, const char* name) {
  char path[32];
  descriptor_path(fd, path, sizeof path);
  if (linkat(AT_FDCWD, path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0) return failure_of(errno);
  return StepResult::done;
}

// The aside name goes once the file has its own; should that fail, the copy
// is whole under its name all the same.
StepResult publish_by_link(const Draft& draft, const char* name) {
  if (linkat(AT_FDCWD, draft.aside, AT_FDCWD, name, 0) != 0) return failure_of(errno);
  (void)unlink(draft.aside);
  return StepResult::done;
}

StepResult publish_by_rename(const Draft& draft, const char* name) {
  if (rename_no_replace(draft.aside, name) != 0) return failure_of(errno);
  return StepResult::done;
}

// Created under its name: published if the name still holds it. Another
// program may have saved its file there, or removed the draft.
StepResult confirm_under_name(const Draft& draft, const char* name) {
  struct stat status {};
  if (lstat(name, &status) != 0) return StepResult::failed;
  return same_file(status, draft) ? StepResult::done : StepResult::name_taken;
}

}  // namespace

// The copy is never more readable than what it copies: 0644 masked by the
// input's bits (0600 where they cannot be had), then by the umask.
StepResult os_open_draft(DraftWay way, const FileName& name, FileHandle like, Draft* draft) {
  struct stat input {};
  const bool input_known = fstat(fd_of(like), &input) == 0;
  const mode_t mode = input_known ? 0644 & input.st_mode : 0600;
  int fd = -1;
  const StepResult opened = open_draft_file(way, name.bytes, mode, draft, &fd);
  if (opened != StepResult::done) return opened;
  struct stat copy {};
  const bool copy_known = fstat(fd, &copy) == 0;
  if (input_known && copy_known) share_group_of(input, fd, copy);
  draft->handle = fd;
  draft->way = way;
  draft->identity[0] = static_cast<std::uint64_t>(copy.st_dev);
  draft->identity[1] = static_cast<std::uint64_t>(copy.st_ino);
  return StepResult::done;
}

StepResult os_publish_draft(Draft* draft, const FileName& name) {
  StepResult published = StepResult::failed;
  switch (draft->way) {
    case DraftWay::unnamed:
      published = publish_unnamed(fd_of(draft->handle), name.bytes);
      break;
    case DraftWay::aside_link:
      published = publish_by_link(*draft, name.bytes);
      break;
    case DraftWay::aside_rename:
      published = publish_by_rename(*draft, name.bytes);
      break;
    case DraftWay::under_name:
      published = confirm_under_name(*draft, name.bytes);
      break;
  }
  if (published == StepResult::done) disarm_removal();
  return published;
}

bool os_discard_draft(const Draft& draft, const FileName& name) {
  bool removed = true;
  if (draft.way == DraftWay::aside_link || draft.way == DraftWay::aside_rename) {
    removed = remove_if_draft(draft.aside, draft);
  } else if (draft.way == DraftWay::under_name) {
    removed = remove_if_draft(name.bytes, draft);
  }
  disarm_removal();
  return removed;
}

bool os_name_holds(const FileName& name, const Draft& draft) {
  struct stat status {};
  return lstat(name.bytes, &status) == 0 && same_file(status, draft);
}

bool os_remove_published(const FileName& name, const Draft& draft) {
  return remove_if_draft(name.bytes, draft);
}

// A terminal here delivers bytes, whose characters the program never needs:
// names are opened as bytes.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size,
                       Character* characters) {
  for (;;) {
    const ssize_t count = read(fd_of(handle), buffer, size);
    if (count < 0 && errno == EINTR) continue;
    if (characters != nullptr) {
      for (ssize_t at = 0; at < count; ++at) characters[at] = UNKNOWN_CHARACTER;
    }
    return count < 0 ? -1 : count;
  }
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t count = write(fd_of(handle), bytes, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

// A close interrupted by a signal may have lost data that was still on its
// way to the disk, so it counts as a failure too; it is never retried, as
// the descriptor is gone either way.
bool os_close(FileHandle handle) {
  return close(fd_of(handle)) == 0;
}

}  // namespace brmark
