// POSIX implementation of the platform services.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace brmark {

namespace {

int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// O_NONBLOCK only lets the probe's open of a FIFO without a writer return at
// once; reads afterwards must block as on any file.
bool clear_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

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

// The unfinished output, for the interrupt handler. Written only while the
// guarded signals are blocked, so the handler never sees half of it.
constexpr int GUARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int GUARDED_COUNT = sizeof GUARDED_SIGNALS / sizeof GUARDED_SIGNALS[0];
char unfinished_name[4096];
volatile sig_atomic_t unfinished = 0;
struct sigaction saved_actions[GUARDED_COUNT];

// Async-signal-safe: unlink, signal and raise only. The raised signal stays
// blocked until the handler returns, then ends the process with the default
// action, so the parent sees how the program ended. A handler has nobody to
// report a failure to, so the results are not examined.
void remove_unfinished_and_end(int signal_number) {
  if (unfinished != 0) (void)unlink(unfinished_name);
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

sigset_t guarded_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : GUARDED_SIGNALS) sigaddset(&set, signal_number);
  return set;
}

// A signal that was ignored when the program started (nohup, a background
// job) stays ignored.
void install_removal_handlers() {
  struct sigaction action {};
  action.sa_handler = remove_unfinished_and_end;
  sigfillset(&action.sa_mask);
  for (int i = 0; i < GUARDED_COUNT; ++i) {
    sigaction(GUARDED_SIGNALS[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN) sigaction(GUARDED_SIGNALS[i], &action, nullptr);
  }
}

void restore_saved_handlers() {
  for (int i = 0; i < GUARDED_COUNT; ++i) sigaction(GUARDED_SIGNALS[i], &saved_actions[i], nullptr);
}

}  // namespace

// Should this fail, a closed pipe would end the process as before; there is
// nothing better to do about it.
void os_start() {
  (void)signal(SIGPIPE, SIG_IGN);
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

namespace {

bool open_readable(const char* name, int extra_flags, FileHandle* handle) {
  const int fd = open_retrying(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | extra_flags, 0);
  if (fd == -1) return false;
  if (is_directory(fd) || ((extra_flags & O_NONBLOCK) != 0 && !clear_nonblocking(fd))) {
    close(fd);
    return false;
  }
  *handle = fd;
  return true;
}

}  // namespace

bool os_open_read(const char* name, FileHandle* handle) {
  return open_readable(name, 0, handle);
}

bool os_open_probe(const char* name, FileHandle* handle) {
  return open_readable(name, O_NONBLOCK, handle);
}

CreateResult os_create_exclusive(const char* name, FileHandle* handle) {
  const std::size_t length = std::strlen(name);
  if (length >= sizeof unfinished_name) return CreateResult::failed;
  // Blocked from before the file exists until the handler can remove it.
  const sigset_t guarded = guarded_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &guarded, &previous);
  const int fd = open_retrying(name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644);
  const int open_error = errno;
  if (fd != -1) {
    std::memcpy(unfinished_name, name, length + 1);
    unfinished = 1;
    install_removal_handlers();
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (fd == -1) {
    return open_error == EEXIST ? CreateResult::name_exists : CreateResult::failed;
  }
  *handle = fd;
  return CreateResult::created;
}

void os_release_created() {
  const sigset_t guarded = guarded_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &guarded, &previous);
  if (unfinished != 0) restore_saved_handlers();
  unfinished = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
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
// way to the disk, so it counts as a failure too; it is never retried, as
// the descriptor is gone either way.
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
