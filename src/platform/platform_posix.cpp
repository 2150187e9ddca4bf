// POSIX implementation of the platform services.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace brmark {

namespace {

int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// O_NONBLOCK only lets the open of a FIFO without a writer return at once;
// reads afterwards must block as on any file.
bool clear_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

bool is_directory(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

void os_start() {
  signal(SIGPIPE, SIG_IGN);
}

FileHandle os_standard_input() {
  return STDIN_FILENO;
}
FileHandle os_standard_output() {
  return STDOUT_FILENO;
}

bool os_is_terminal(FileHandle handle) {
  return isatty(fd_of(handle)) == 1;
}

bool os_open_read(const char* name, FileHandle* handle) {
  const int fd = open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1) return false;
  if (is_directory(fd) || !clear_nonblocking(fd)) {
    close(fd);
    return false;
  }
  *handle = fd;
  return true;
}

CreateResult os_create_exclusive(const char* name, FileHandle* handle) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd == -1) return errno == EEXIST ? CreateResult::name_exists : CreateResult::failed;
  *handle = fd;
  return CreateResult::created;
}

std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = read(fd_of(handle), buffer, size);
    if (count >= 0) return count;
    if (errno != EINTR) return -1;
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
// way to the disk, so it counts as a failure too.
bool os_close(FileHandle handle) {
  return close(fd_of(handle)) == 0;
}

bool os_remove(const char* name) {
  return unlink(name) == 0;
}

void os_exit(int status) {
  std::exit(status);
}

}  // namespace brmark
