// Linux's own calls: files without a name (O_TMPFILE) named through /proc or
// by their descriptor, renaming without replacing (renameat2), flushing a
// file system (syncfs), and the access ACL as an extended attribute.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix.h"

namespace brmark {

namespace {

// How the process reaches its own descriptor without /proc: linkat with
// AT_EMPTY_PATH, which Linux allows a process that may search any folder
// (CAP_DAC_READ_SEARCH) or, from 6.10, the one that opened the file.
int link_by_descriptor(int fd, const char* to) {
  return linkat(fd, "", AT_FDCWD, to, AT_EMPTY_PATH);
}

void descriptor_path(int fd, char* path, std::size_t size) {
  (void)std::snprintf(path, size, "/proc/self/fd/%d", fd);
}

// Checked before anything is written: a copy that could not be named at the
// end would be work lost. Through /proc, or else by the descriptor: whether
// that is allowed shows without linking anything, as the folder that would
// get the link then answers that it exists already.
bool can_be_named(int fd, const char* folder) {
  char path[32];
  descriptor_path(fd, path, sizeof path);
  struct stat by_path {};
  struct stat by_fd {};
  const bool through_proc = stat(path, &by_path) == 0 && fstat(fd, &by_fd) == 0 &&
                            by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
  return through_proc || (link_by_descriptor(fd, folder) != 0 && errno == EEXIST);
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

}  // namespace

// EISDIR: a kernel older than unnamed files takes the flags for a plain
// open of the folder.
NameResult open_unnamed(const char* folder, int* fd) {
  do {
    *fd = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  } while (*fd == -1 && errno == EINTR);
  if (*fd == -1) return errno == EISDIR ? NameResult::unsupported : name_result_of(errno);
  if (can_be_named(*fd, folder)) return NameResult::done;
  (void)close(*fd);
  return NameResult::unsupported;
}

// Without /proc (a chroot, a small container): by the descriptor itself.
int link_unnamed(int fd, const char* to) {
  char path[32];
  descriptor_path(fd, path, sizeof path);
  const int linked = linkat(AT_FDCWD, path, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
  return linked != 0 && errno == ENOENT ? link_by_descriptor(fd, to) : linked;
}

int rename_no_replace(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int flush_data(int fd) {
  return fdatasync(fd);
}

void start_storing(int fd, off_t offset, off_t length) {
  (void)sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

bool flush_file_system(int fd) {
  return syncfs(fd) == 0;
}

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

}  // namespace brmark
