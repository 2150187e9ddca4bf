// What any POSIX system has, for the calls Linux has its own of: no files
// without a name, renaming without replacing where the system has a call
// for it, the whole of storage flushed for a folder that cannot be opened,
// and no ACLs carried (only the mode bits decide).
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix.h"

namespace brmark {

NameResult open_unnamed(const char* /*folder*/, int* /*fd*/) {
  return NameResult::unsupported;
}

int link_unnamed(int /*fd*/, const char* /*to*/) {
  errno = ENOSYS;
  return -1;
}

// macOS names it renamex_np with RENAME_EXCL; glibc and others renameat2.
#if defined(RENAME_EXCL)
int rename_no_replace(const char* from, const char* to) {
  return renamex_np(from, to, RENAME_EXCL);
}
#elif defined(RENAME_NOREPLACE)
int rename_no_replace(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}
#else
int rename_no_replace(const char* /*from*/, const char* /*to*/) {
  errno = ENOSYS;
  return -1;
}
#endif

// macOS's fsync leaves the bytes in the drive's cache; F_FULLFSYNC does not.
#ifdef F_FULLFSYNC
int flush_data(int fd) {
  return fcntl(fd, F_FULLFSYNC);
}
#else
int flush_data(int fd) {
  return fdatasync(fd);
}
#endif

// No call starts storing a range early here; the flush stores it all.
void start_storing(int /*fd*/, off_t /*offset*/, off_t /*length*/) {}

bool flush_file_system(int /*fd*/) {
  sync();
  return true;
}

bool carry_acl(int /*input*/, int /*copy*/, mode_t /*mode*/, bool /*same_group*/) {
  return true;
}

}  // namespace brmark
