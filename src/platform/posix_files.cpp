// POSIX: the files. Names are bytes, opened as they are.
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

// Every new file starts readable and writable by its owner only:
// os_carry_permissions widens it to what the input allows.
constexpr mode_t OWNER_ONLY = 0600;

NameResult result_of_call(int result) {
  return result == 0 ? NameResult::done : name_result_of(errno);
}

// The folder part of name as a name of its own: "." for the current folder.
bool folder_of(const FileName& name, char* folder, std::size_t size) {
  const std::size_t length = os_folder_length(name);
  if (length + 2 > size) return false;
  std::memcpy(folder, length == 0 ? "." : name.bytes, length == 0 ? 1 : length);
  folder[length == 0 ? 1 : length] = '\0';
  return true;
}

FileIdentity identity_of(const struct stat& status) {
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                      {static_cast<std::uint64_t>(status.st_ino), 0}};
}

// The permission bits the copy may have, the rule for who may use it: its
// owner as the input's; anyone else only where they could use the input.
// So those of the input's bits that are among 0644, within the umask; and
// where the copy cannot have the input's group, its group and others get
// what the input gave both its group and its others, since the input's
// group may hold people the input's group bits shut out (0604 gives 0600).
// The umask is read by setting it back at once.
mode_t copy_mode(const struct stat& input, bool same_group) {
  const mode_t mask = umask(022);
  (void)umask(mask);
  const mode_t mode = 0644 & input.st_mode & ~mask;
  const mode_t shared = mode >> 3 & mode & 07;
  return same_group ? mode : (mode & 0700) | shared << 3 | shared;
}

}  // namespace

// The errors a folder gives for a kind of call it does not take at all:
// EPERM (no hard links on FAT), EOPNOTSUPP, ENOSYS, EINVAL (no
// RENAME_NOREPLACE on FUSE) and EXDEV.
NameResult name_result_of(int error) {
  switch (error) {
    case EEXIST:
      return NameResult::taken;
    case EPERM:
    case EOPNOTSUPP:
    case ENOSYS:
    case EINVAL:
    case EXDEV:
      return NameResult::unsupported;
    default:
      return NameResult::failed;
  }
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

NameState os_name_state(const FileName& name, FileIdentity* identity) {
  struct stat status {};
  if (lstat(name.bytes, &status) != 0) {
    return errno == ENOENT ? NameState::absent : NameState::unusable;
  }
  if (identity != nullptr) *identity = identity_of(status);
  return NameState::taken;
}

std::size_t os_folder_length(const FileName& name) {
  const char* slash = std::strrchr(name.bytes, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - name.bytes) + 1;
}

std::uint64_t os_name_seed() {
  static std::uint64_t calls = 0;
  struct timespec now {};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_nsec) ^
         static_cast<std::uint64_t>(now.tv_sec) * 2654435761U ^
         static_cast<std::uint64_t>(getpid()) << 32 ^ ++calls * 40503U;
}

NameResult os_open_unnamed(const FileName& name, FileHandle* handle) {
  char folder[DRAFT_NAME_ROOM];
  if (!folder_of(name, folder, sizeof folder)) return NameResult::failed;
  int fd = -1;
  const NameResult made = open_unnamed(folder, &fd);
  if (made == NameResult::done) *handle = fd;
  return made;
}

NameResult os_create_new(const FileName& name, bool /*hidden*/, FileHandle* handle) {
  const int fd =
      open_retrying(name.bytes, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, OWNER_ONLY);
  if (fd == -1) return errno == EEXIST ? NameResult::taken : NameResult::failed;
  *handle = fd;
  return NameResult::done;
}

bool os_handle_identity(FileHandle handle, FileIdentity* identity) {
  struct stat status {};
  if (fstat(fd_of(handle), &status) != 0) return false;
  *identity = identity_of(status);
  return true;
}

// The group first: with it the mode can keep the group's bits. Where the
// file system keeps no owners or ACLs (vfat), the calls change nothing and
// the mount decides.
void os_carry_permissions(FileHandle like, FileHandle handle) {
  const int copy = fd_of(handle);
  struct stat input {};
  struct stat made {};
  if (fstat(fd_of(like), &input) != 0 || fstat(copy, &made) != 0) return;
  const bool same_group =
      made.st_gid == input.st_gid || fchown(copy, static_cast<uid_t>(-1), input.st_gid) == 0;
  const mode_t mode = copy_mode(input, same_group);
  if (!carry_acl(fd_of(like), copy, mode, same_group)) return;
  (void)fchmod(copy, mode);
}

// A dot at the front of its name hides it here.
bool os_unhide(FileHandle /*handle*/) {
  return true;
}

bool os_flush_to_storage(FileHandle handle) {
  int result = 0;
  do {
    result = flush_data(fd_of(handle));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void os_start_storing(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
  start_storing(fd_of(handle), static_cast<off_t>(offset), static_cast<off_t>(length));
}

// A file system that cannot flush a folder says EINVAL: it has nothing to
// flush there. A folder that cannot be opened (EACCES) has its whole file
// system flushed instead.
bool os_flush_folder(const FileName& name, FileHandle handle) {
  char folder[DRAFT_NAME_ROOM];
  if (!folder_of(name, folder, sizeof folder)) return false;
  const int fd = open_retrying(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd == -1) return errno == EACCES && flush_file_system(fd_of(handle));
  const bool flushed = fsync(fd) == 0 || errno == EINVAL;
  (void)close(fd);
  return flushed;
}

NameResult os_link_new(FileHandle handle, const FileName* from, const FileName& to) {
  if (from != nullptr) return result_of_call(linkat(AT_FDCWD, from->bytes, AT_FDCWD, to.bytes, 0));
  return result_of_call(link_unnamed(fd_of(handle), to.bytes));
}

NameResult os_rename_new(FileHandle /*handle*/, const FileName& from, const FileName& to) {
  return result_of_call(rename_no_replace(from.bytes, to.bytes));
}

NameResult os_rename_over(FileHandle /*handle*/, const FileName& from, const FileName& to) {
  return result_of_call(std::rename(from.bytes, to.bytes));
}

bool os_remove_if_same(const FileName& name, const FileIdentity& identity) {
  return remove_if_same(name.bytes, static_cast<dev_t>(identity.volume),
                        static_cast<ino_t>(identity.file[0]));
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
