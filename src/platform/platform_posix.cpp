// POSIX implementation of the platform services.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Linux makes a file without a name in a folder; elsewhere there is none, and
// every output takes the guarded way below.
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

// Room for any folder or output name: names are at most a few hundred bytes.
constexpr std::size_t PATH_ROOM = 4096;

// True once the output stands under its name because this run put it there:
// only then may a failure remove that name.
bool output_named = false;

// The fallback's unfinished output, for the interrupt handler. Written only
// while the guarded signals are blocked, so the handler never sees half of it.
constexpr int GUARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int GUARDED_COUNT = sizeof GUARDED_SIGNALS / sizeof GUARDED_SIGNALS[0];
char unfinished_name[PATH_ROOM];
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

// Should either fail, the process would end by that signal as before; there
// is nothing better to do about it.
void os_start(TextEncoding /*texts*/) {
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
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

bool os_open_read(const FileName& name, FileHandle* handle) {
  return open_readable(name.bytes, 0, handle);
}

bool os_open_probe(const FileName& name, FileHandle* handle) {
  return open_readable(name.bytes, O_NONBLOCK, handle);
}

namespace {

// The copy is never more readable than what it copies.
mode_t mode_like(FileHandle like) {
  struct stat status {};
  if (fstat(fd_of(like), &status) != 0) return 0600;
  return 0644 & status.st_mode;
}

// The folder that holds name: what stands before its last slash.
bool folder_of(const char* name, char* folder, std::size_t size) {
  const char* slash = std::strrchr(name, '/');
  const char* end = slash == nullptr ? name : slash == name ? slash + 1 : slash;
  const std::size_t length = static_cast<std::size_t>(end - name);
  if (length + 2 > size) return false;
  if (length == 0) {
    std::memcpy(folder, ".", 2);
    return true;
  }
  std::memcpy(folder, name, length);
  folder[length] = '\0';
  return true;
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

// An unnamed file in name's folder, or -1 with errno. EOPNOTSUPP says that
// this way is not available: the file system has no unnamed files, the kernel
// does not know them (it then reports EISDIR), or there is no /proc.
int create_unnamed(const char* name, mode_t mode) {
  char folder[PATH_ROOM];
  errno = EOPNOTSUPP;
  if (!folder_of(name, folder, sizeof folder)) return -1;
  const int fd = open_unnamed(folder, mode);
  if (fd == -1) {
    if (errno == EISDIR) errno = EOPNOTSUPP;
    return -1;
  }
  if (can_be_named(fd)) return fd;
  (void)close(fd);
  errno = EOPNOTSUPP;
  return -1;
}

CreateResult result_of_error(int error) {
  return error == EEXIST ? CreateResult::name_exists : CreateResult::failed;
}

// The fallback: created under its name at once, removed by an interrupt until
// os_finish_output.
CreateResult create_guarded(const char* name, mode_t mode, FileHandle* handle) {
  const std::size_t length = std::strlen(name);
  if (length >= sizeof unfinished_name) return CreateResult::failed;
  // Blocked from before the file exists until the handler can remove it.
  const sigset_t guarded = guarded_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &guarded, &previous);
  const int fd = open_retrying(name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
  const int open_error = errno;
  if (fd != -1) {
    std::memcpy(unfinished_name, name, length + 1);
    unfinished = 1;
    output_named = true;
    install_removal_handlers();
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (fd == -1) return result_of_error(open_error);
  *handle = fd;
  return CreateResult::created;
}

void release_guard() {
  const sigset_t guarded = guarded_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &guarded, &previous);
  if (unfinished != 0) restore_saved_handlers();
  unfinished = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Whatever stands at the name, even where it cannot be read or followed, is
// refused before anything is copied: an unnamed file would only meet it at
// the end.
bool name_stands(const char* name) {
  struct stat status {};
  return lstat(name, &status) == 0;
}

}  // namespace

CreateResult os_create_output(const FileName& name, FileHandle like, FileHandle* handle) {
  const mode_t mode = mode_like(like);
  output_named = false;
  if (name_stands(name.bytes)) return CreateResult::name_exists;
  const int fd = create_unnamed(name.bytes, mode);
  if (fd != -1) {
    *handle = fd;
    return CreateResult::created;
  }
  if (errno != EOPNOTSUPP) return CreateResult::failed;
  return create_guarded(name.bytes, mode, handle);
}

// linkat never replaces what stands at the name, so a file another program
// put there while the copy ran is left as it is.
CreateResult os_name_output(FileHandle handle, const FileName& name) {
  if (output_named) return CreateResult::created;
  char path[32];
  descriptor_path(fd_of(handle), path, sizeof path);
  if (linkat(AT_FDCWD, path, AT_FDCWD, name.bytes, AT_SYMLINK_FOLLOW) != 0) {
    return result_of_error(errno);
  }
  output_named = true;
  return CreateResult::created;
}

bool os_finish_output(const FileName& name, bool keep) {
  const bool removed = keep || !output_named || unlink(name.bytes) == 0;
  release_guard();
  output_named = false;
  return removed;
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

void os_exit(int status) {
  std::exit(status);
}

}  // namespace brmark
