// What the POSIX files of the platform layer offer each other: the files
// (posix_files.cpp) and the process with its signals (posix_process.cpp).
// Included only by them. Every difference between POSIX systems that the
// layer meets is settled here.
#ifndef BRMARK_PLATFORM_POSIX_H
#define BRMARK_PLATFORM_POSIX_H

#include <fcntl.h>
#include <unistd.h>

#include <sys/types.h>
#include <cerrno>

#include "platform/platform.h"

namespace brmark {

inline int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// Linux makes files without a name (O_TMPFILE), renames without replacing
// (renameat2) and opens a name itself rather than what it holds (O_PATH);
// elsewhere the first two fail as a folder that lacks them does, and the
// third opens the name for reading.
#ifdef O_TMPFILE
inline int open_unnamed(const char* folder, mode_t mode) {
  return open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}
#else
inline int open_unnamed(const char* /*folder*/, mode_t /*mode*/) {
  errno = EOPNOTSUPP;
  return -1;
}
#endif
#ifdef O_PATH
constexpr int NAME_ONLY_FLAGS = O_PATH | O_NOFOLLOW;
#else
constexpr int NAME_ONLY_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
#endif
int rename_no_replace(const char* from, const char* to);

// Linux links an open file by its descriptor alone (AT_EMPTY_PATH) for a
// process that may search any folder (CAP_DAC_READ_SEARCH) or, from 6.10,
// the one that opened it; elsewhere, or not allowed, the link fails with
// ENOENT. Whether it is allowed shows without linking anything: the folder
// that would get the link then answers that it exists already.
#ifdef AT_EMPTY_PATH
inline int link_descriptor(int fd, const char* to) {
  return linkat(fd, "", AT_FDCWD, to, AT_EMPTY_PATH);
}
#else
inline int link_descriptor(int /*fd*/, const char* /*to*/) {
  errno = ENOENT;
  return -1;
}
#endif
inline bool links_by_descriptor(int fd, const char* folder) {
  return link_descriptor(fd, folder) != 0 && errno == EEXIST;
}

// Removes path while it is the file device and inode name. Async-signal-safe.
void remove_if_same(const char* path, dev_t device, ino_t inode);

}  // namespace brmark

#endif
