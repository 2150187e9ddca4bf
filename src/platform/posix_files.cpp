// POSIX: the files. Names are bytes, opened as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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

// What a failed call on a folder's names means. The errors a folder gives
// for a kind of call it does not take at all: EPERM (no hard links on FAT),
// EOPNOTSUPP, ENOSYS, EINVAL (no RENAME_NOREPLACE on FUSE) and EXDEV.
NameResult result_of(int error) {
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

NameResult result_of_call(int result) {
  return result == 0 ? NameResult::done : result_of(errno);
}

// How the process reaches its own descriptor: the way an unnamed file is
// given its name.
void descriptor_path(int fd, char* path, std::size_t size) {
  (void)std::snprintf(path, size, "/proc/self/fd/%d", fd);
}

// Checked before anything is written: a copy that could not be named at the
// end would be work lost. Through /proc, or else by the descriptor itself
// where the system lets this process link one (links_by_descriptor).
bool can_be_named(int fd, const char* folder) {
  char path[32];
  descriptor_path(fd, path, sizeof path);
  struct stat by_path {};
  struct stat by_fd {};
  const bool through_proc = stat(path, &by_path) == 0 && fstat(fd, &by_fd) == 0 &&
                            by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
  return through_proc || links_by_descriptor(fd, folder);
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

// Where the folder cannot be opened to be flushed (one the user may write
// to but not list), the whole file system it is on is flushed instead.
#ifdef __linux__
bool flush_file_system(int fd) {
  return syncfs(fd) == 0;
}
#else
bool flush_file_system(int /*fd*/) {
  sync();
  return true;
}
#endif

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

// The access ACL as Linux keeps it in an extended attribute: a version,
// then entries of a tag, permissions and an id, little-endian.
constexpr char ACL_ATTRIBUTE[] = "system.posix_acl_access";
constexpr std::size_t ACL_ROOM = 1024;
constexpr std::size_t ACL_HEADER = 4;
constexpr std::size_t ACL_ENTRY = 8;
enum AclTag : unsigned { USER_OBJ = 0x01, GROUP_OBJ = 0x04, MASK = 0x10, OTHER = 0x20 };

unsigned tag_of(const unsigned char* entry) {
  return entry[0] | static_cast<unsigned>(entry[1]) << 8;
}

// Sets the entries that stand for the mode bits to mode's: the owner's, the
// mask's (the owning group's where there is no mask) and the others'. mode
// is within the input's bits, so no entry grows.
void narrow_acl(unsigned char* acl, std::size_t size, mode_t mode) {
  bool has_mask = false;
  for (std::size_t at = ACL_HEADER; at + ACL_ENTRY <= size; at += ACL_ENTRY) {
    has_mask = has_mask || tag_of(acl + at) == MASK;
  }
  for (std::size_t at = ACL_HEADER; at + ACL_ENTRY <= size; at += ACL_ENTRY) {
    const unsigned tag = tag_of(acl + at);
    // The permissions are the entry's third byte.
    if (tag == USER_OBJ) acl[at + 2] = static_cast<unsigned char>(mode >> 6 & 7);
    if (tag == MASK || (tag == GROUP_OBJ && !has_mask)) {
      acl[at + 2] = static_cast<unsigned char>(mode >> 3 & 7);
    }
    if (tag == OTHER) acl[at + 2] = static_cast<unsigned char>(mode & 7);
  }
}

// What the input's access ACL allows, on the copy; false where it cannot be
// carried. Without one on the input, the copy must not keep the one its
// folder's default ACL gave it, whose named users could then read it.
bool carry_acl(int input, int copy, mode_t mode, bool same_group) {
  unsigned char acl[ACL_ROOM];
  const ssize_t size = fgetxattr(input, ACL_ATTRIBUTE, acl, sizeof acl);
  if (size < 0 && errno != ENODATA && errno != EOPNOTSUPP) return false;
  if (size < 0) {
    return fremovexattr(copy, ACL_ATTRIBUTE) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
  }
  // The owning group's entry would be read as the copy's other group's.
  if (!same_group) return false;
  narrow_acl(acl, static_cast<std::size_t>(size), mode);
  return fsetxattr(copy, ACL_ATTRIBUTE, acl, static_cast<std::size_t>(size), 0) == 0;
}

}  // namespace

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

// EISDIR: a kernel older than unnamed files takes the flags for a plain
// open of the folder.
NameResult os_open_unnamed(const FileName& name, FileHandle* handle) {
  char folder[DRAFT_NAME_ROOM];
  if (!folder_of(name, folder, sizeof folder)) return NameResult::failed;
  int fd = 0;
  do {
    fd = open_unnamed(folder, OWNER_ONLY);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return errno == EISDIR ? NameResult::unsupported : result_of(errno);
  if (!can_be_named(fd, folder)) {
    (void)close(fd);
    return NameResult::unsupported;
  }
  *handle = fd;
  return NameResult::done;
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
bool os_show(FileHandle /*handle*/) {
  return true;
}

bool os_flush_to_storage(FileHandle handle) {
  int result = 0;
  do {
    result = fdatasync(fd_of(handle));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// A file system that cannot flush a folder says EINVAL: it has nothing to
// flush there.
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
  char path[32];
  descriptor_path(fd_of(handle), path, sizeof path);
  int linked = linkat(AT_FDCWD, path, AT_FDCWD, to.bytes, AT_SYMLINK_FOLLOW);
  // No /proc (a chroot, a small container): by the descriptor itself.
  if (linked != 0 && errno == ENOENT) linked = link_descriptor(fd_of(handle), to.bytes);
  return result_of_call(linked);
}

NameResult os_rename_new(FileHandle /*handle*/, const FileName& from, const FileName& to) {
  return result_of_call(rename_no_replace(from.bytes, to.bytes));
}

NameResult os_rename_over(FileHandle /*handle*/, const FileName& from, const FileName& to) {
  return result_of_call(std::rename(from.bytes, to.bytes));
}

bool os_open_removal(const FileName& name, FileHandle* removal) {
  const int fd = open_retrying(name.bytes, NAME_ONLY_FLAGS | O_CLOEXEC, 0);
  if (fd == -1) return false;
  *removal = fd;
  return true;
}

bool os_remove_opened(FileHandle removal, const FileName& name) {
  const bool removed = unlink(name.bytes) == 0 || errno == ENOENT;
  os_release_removal(removal);
  return removed;
}

void os_release_removal(FileHandle removal) {
  (void)close(fd_of(removal));
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
