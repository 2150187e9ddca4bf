// What the POSIX files of the platform layer offer each other: the files
// (posix_files.cpp), the process with its signals (posix_process.cpp), and
// the calls that differ between POSIX systems, from one of two files:
// posix_linux.cpp, Linux's own, or posix_generic.cpp, what any POSIX system
// has (the build option BRMARK_LINUX_CALLS picks). Included only by them.
#ifndef BRMARK_PLATFORM_POSIX_H
#define BRMARK_PLATFORM_POSIX_H

#include <sys/types.h>

#include "platform/platform.h"

namespace brmark {

inline int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// What a failed call on a folder's names means, from its errno.
NameResult name_result_of(int error);

// A new file without a name in folder, readable and writable by its owner
// only, that can be given a name later (link_unnamed): unsupported where
// the system or the folder has none, or where it could not be named.
NameResult open_unnamed(const char* folder, int* fd);
// Gives the unnamed file its name; -1 with errno when it cannot.
int link_unnamed(int fd, const char* to);
// Renames from to to, never replacing anything there; -1 with errno, ENOSYS
// where the system has no such call.
int rename_no_replace(const char* from, const char* to);
// Stores the file's bytes on the medium itself; -1 with errno.
int flush_data(int fd);
// os_start_storing's advice, where the system takes it.
void start_storing(int fd, off_t offset, off_t length);
// Stores the whole file system that holds fd: where its folder cannot be
// opened to be flushed (one the user may write to but not list).
bool flush_file_system(int fd);
// Gives the copy what the input's access ACL allows, within mode: false
// where that cannot be done. Without an ACL on the input, the copy must not
// keep one that its folder's default ACL gave it.
bool carry_acl(int input, int copy, mode_t mode, bool same_group);

// Removes path while it is the file device and inode name; true when nothing
// of that file is left there. Async-signal-safe.
bool remove_if_same(const char* path, dev_t device, ino_t inode);

}  // namespace brmark

#endif
