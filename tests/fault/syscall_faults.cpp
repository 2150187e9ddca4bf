// Test-only: the system calls of brmark's platform layer, wrapped at link
// time (ld --wrap) so that one chosen call fails, is interrupted or comes up
// short. The program under test is otherwise the real one.
//
// BRMARK_FAULT="<kind> <n> <mode>" picks the n-th call (from 1) of kind open,
// read, write, close, unlink, link (linkat), rename (renameat2), replace
// (rename), datasync (fdatasync), fsync, storing (sync_file_range) or lstat;
// mode is an errno name (the call
// fails with it and is not made), SHORT (a read or write moves half of what it
// was asked) or a signal name: an open is made, then the process raises the
// signal (the instant the file exists); any other call is stopped by it, the
// signal raised before the call is made. Up to four faults, separated by
// commas, apply in the same run, several to one call too. BRMARK_FAULT_LOG
// names a file that gets one line per call: "<kind> <role>", where role is
// stdin, stdout, input, probe, output or folder for descriptors, and for
// names (and the opens that remove them) draft (one of the program's own
// hidden ".brmark-" names) or name.
// BRMARK_WAY picks the way the program writes its output aside, by making
// the better ones fail as on a file system without them, uncounted and
// unlogged: "link" (no unnamed files: EISDIR, as from a kernel before them),
// "rename" (nor hard links but the unnamed file's: EPERM, and unnamed files
// EOPNOTSUPP) or "claim" (nor renameat2: EINVAL).
// BRMARK_TAKE_NAME names a file that another program writes, as it would
// between the program's look at the name and its create, just before the
// program's first open for writing. BRMARK_SAVE_AT_CLOSE names a file that
// another program saves (written aside, renamed onto the name) just before
// the output's last close, the one after its flush.
// A new file the program makes with any permission for its group or others
// is reported on standard error: the draft starts readable by its owner
// only.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t size);
ssize_t __real_write(int fd, const void* buffer, size_t size);
int __real_close(int fd);
int __real_unlink(const char* path);
int __real_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags);
int __real_renameat2(int from_folder, const char* from, int to_folder, const char* to,
                     unsigned flags);
int __real_rename(const char* from, const char* to);
int __real_fdatasync(int fd);
int __real_fsync(int fd);
int __real_sync_file_range(int fd, off64_t offset, off64_t length, unsigned flags);
int __real_lstat(const char* path, struct stat* status);
int __real_lstat64(const char* path, struct stat64* status);
}

namespace {

enum Kind {
  OPEN,
  READ,
  WRITE,
  CLOSE,
  UNLINK,
  LINK,
  RENAME,
  REPLACE,
  DATASYNC,
  FSYNC,
  STORING,
  LSTAT,
  KIND_COUNT
};
const char* const KIND_NAMES[KIND_COUNT] = {"open",     "read",  "write",   "close",
                                            "unlink",   "link",  "rename",  "replace",
                                            "datasync", "fsync", "storing", "lstat"};

struct Fault {
  Kind kind = KIND_COUNT;
  long call = 0;
  int error = 0;   // 0 for SHORT or a signal
  int signal = 0;  // raised after an open, before any other call
};

constexpr int MAX_FAULTS = 4;

int signal_named(const char* name) {
  if (std::strcmp(name, "SIGINT") == 0) return SIGINT;
  if (std::strcmp(name, "SIGTERM") == 0) return SIGTERM;
  if (std::strcmp(name, "SIGHUP") == 0) return SIGHUP;
  if (std::strcmp(name, "SIGKILL") == 0) return SIGKILL;
  if (std::strcmp(name, "SIGUSR1") == 0) return SIGUSR1;
  return 0;
}

int error_named(const char* name) {
  static const struct {
    const char* name;
    int value;
  } ERRORS[] = {{"EIO", EIO},       {"EACCES", EACCES}, {"ENOSPC", ENOSPC}, {"EINTR", EINTR},
                {"EFBIG", EFBIG},   {"EMFILE", EMFILE}, {"EPERM", EPERM},   {"EBUSY", EBUSY},
                {"EEXIST", EEXIST}, {"EINVAL", EINVAL}, {"EXDEV", EXDEV},   {"EISDIR", EISDIR}};
  for (const auto& known : ERRORS) {
    if (std::strcmp(known.name, name) == 0) return known.value;
  }
  return EIO;
}

Fault parse_fault(const char* setting) {
  Fault fault;
  char kind[16] = "";
  char mode[16] = "";
  if (std::sscanf(setting, "%15s %ld %15s", kind, &fault.call, mode) != 3) return fault;
  for (int k = 0; k < KIND_COUNT; ++k) {
    if (std::strcmp(kind, KIND_NAMES[k]) == 0) fault.kind = static_cast<Kind>(k);
  }
  fault.signal = signal_named(mode);
  fault.error = std::strcmp(mode, "SHORT") == 0 || fault.signal != 0 ? 0 : error_named(mode);
  return fault;
}

struct Faults {
  Fault chosen[MAX_FAULTS];
};

Faults parse_faults() {
  Faults faults;
  const char* setting = std::getenv("BRMARK_FAULT");
  for (int i = 0; setting != nullptr && i < MAX_FAULTS; ++i) {
    faults.chosen[i] = parse_fault(setting);
    setting = std::strchr(setting, ',');
    if (setting != nullptr) ++setting;
  }
  return faults;
}

const Faults& faults() {
  static const Faults chosen = parse_faults();
  return chosen;
}

long calls[KIND_COUNT];

// What each descriptor is to the program, known from the order of its opens:
// the input, then the probe of the target, and the created output.
const char* roles[1024];
int read_only_opens = 0;

const char* role_of(int fd) {
  if (fd == 0) return "stdin";
  if (fd == 1) return "stdout";
  if (fd >= 0 && fd < 1024 && roles[fd] != nullptr) return roles[fd];
  return "other";
}

void log_call(Kind kind, const char* role) {
  const char* path = std::getenv("BRMARK_FAULT_LOG");
  if (path == nullptr) return;
  const int fd = __real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  const int length = std::snprintf(line, sizeof line, "%s %s\n", KIND_NAMES[kind], role);
  if (length > 0) (void)!__real_write(fd, line, static_cast<size_t>(length));
  __real_close(fd);
}

// Counts the call and gives the fault chosen for it, or nullptr; of several
// chosen for one call, the one with an error. A signal stops any call but an
// open before it is made.
const Fault* faulted(Kind kind, const char* role) {
  log_call(kind, role);
  ++calls[kind];
  const Fault* chosen = nullptr;
  for (const Fault& fault : faults().chosen) {
    if (fault.kind != kind || fault.call != calls[kind]) continue;
    if (fault.signal != 0 && kind != OPEN) (void)raise(fault.signal);
    if (chosen == nullptr || fault.error != 0) chosen = &fault;
  }
  return chosen;
}

// The call fails with the fault's error; false when there is none to fail with.
bool fails(const Fault* fault) {
  if (fault == nullptr || fault->error == 0) return false;
  errno = fault->error;
  return true;
}

// A read or write that moves half of what it was asked.
bool comes_short(const Fault* fault) {
  return fault != nullptr && fault->error == 0 && fault->signal == 0;
}

bool is_unnamed(int flags) {
  return (flags & O_TMPFILE) == O_TMPFILE;
}

// How many of the better ways BRMARK_WAY takes away: 0 to 3.
int ways_disabled() {
  static const int disabled = [] {
    const char* way = std::getenv("BRMARK_WAY");
    if (way == nullptr) return 0;
    const char* const ways[] = {"link", "rename", "claim"};
    for (int taken = 0; taken < 3; ++taken) {
      if (std::strcmp(way, ways[taken]) == 0) return taken + 1;
    }
    return 0;
  }();
  return disabled;
}

// The program's own hidden names, by their last part.
const char* role_of_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* last = slash == nullptr ? path : slash + 1;
  return std::strncmp(last, ".brmark-", 8) == 0 ? "draft" : "name";
}

void take_name_once() {
  static bool taken = false;
  const char* name = std::getenv("BRMARK_TAKE_NAME");
  if (taken || name == nullptr) return;
  taken = true;
  const int fd = __real_open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!__real_write(fd, "theirs\n", 7);
  __real_close(fd);
}

// The output's descriptor once it has been flushed, which it is just before
// it is named.
int flushed = -1;

// As an editor saves: written aside, then renamed onto the name.
void save_at_close_once(int closing) {
  static bool saved = false;
  const char* name = std::getenv("BRMARK_SAVE_AT_CLOSE");
  if (saved || closing != flushed || name == nullptr) return;
  saved = true;
  char aside[4096];
  (void)std::snprintf(aside, sizeof aside, "%s.saving", name);
  const int fd = __real_open(aside, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!__real_write(fd, "theirs\n", 7);
  __real_close(fd);
  (void)__real_rename(aside, name);
}

void complain_if_exposed(mode_t mode) {
  if ((mode & 077) == 0) return;
  char line[96];
  const int length =
      std::snprintf(line, sizeof line, "brmark_faulty: a new file made with mode %04o\n",
                    static_cast<unsigned>(mode));
  if (length > 0) (void)!__real_write(2, line, static_cast<size_t>(length));
}

const char* role_of_open(const char* path, int flags) {
  if ((flags & O_CREAT) != 0 || is_unnamed(flags)) return "output";
  // An open of a name itself, to remove it.
  if ((flags & O_PATH) == O_PATH) return role_of_name(path);
  if ((flags & O_DIRECTORY) != 0) return "folder";
  return read_only_opens++ == 0 ? "input" : "probe";
}

int open_with(int (*real_open)(const char*, int, ...), const char* path, int flags, mode_t mode) {
  if (is_unnamed(flags) && ways_disabled() >= 1) {
    errno = ways_disabled() == 1 ? EISDIR : EOPNOTSUPP;
    return -1;
  }
  const char* role = role_of_open(path, flags);
  const bool output = std::strcmp(role, "output") == 0;
  if (output) {
    take_name_once();
    complain_if_exposed(mode);
  }
  const Fault* fault = faulted(OPEN, role);
  if (fails(fault)) return -1;
  const int fd = real_open(path, flags, mode);
  if (fd >= 0 && fd < 1024) roles[fd] = role;
  // An interrupt the instant the file exists, before the program has had a
  // chance to note it for removal.
  if (fault != nullptr && fault->signal != 0) (void)raise(fault->signal);
  return fd;
}

// open's third argument is there only for a file that it creates.
bool takes_mode(int flags) {
  return (flags & O_CREAT) != 0 || is_unnamed(flags);
}

}  // namespace

extern "C" {

// Large-file builds call open64 under the name open.
int __wrap_open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(rest, int)) : 0;
  va_end(rest);
  return open_with(__real_open, path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(rest, int)) : 0;
  va_end(rest);
  return open_with(__real_open64, path, flags, mode);
}

ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  const Fault* fault = faulted(READ, role_of(fd));
  if (fails(fault)) return -1;
  return __real_read(fd, buffer, comes_short(fault) && size > 1 ? size / 2 : size);
}

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  const Fault* fault = faulted(WRITE, role_of(fd));
  if (fails(fault)) return -1;
  return __real_write(fd, buffer, comes_short(fault) && size > 1 ? size / 2 : size);
}

int __wrap_close(int fd) {
  save_at_close_once(fd);
  const Fault* fault = faulted(CLOSE, role_of(fd));
  if (fd >= 0 && fd < 1024) roles[fd] = nullptr;
  const int result = __real_close(fd);
  if (fault == nullptr) return result;
  // A close that reports an error has still released the descriptor.
  errno = fault->error != 0 ? fault->error : EIO;
  return -1;
}

int __wrap_unlink(const char* path) {
  if (fails(faulted(UNLINK, role_of_name(path)))) return -1;
  return __real_unlink(path);
}

// The unnamed file is linked following its /proc link, or by its
// descriptor; any other link is one of a hidden file's.
int __wrap_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
  if ((flags & (AT_SYMLINK_FOLLOW | AT_EMPTY_PATH)) == 0 && ways_disabled() >= 2) {
    errno = EPERM;
    return -1;
  }
  if (fails(faulted(LINK, role_of_name(to)))) return -1;
  return __real_linkat(from_folder, from, to_folder, to, flags);
}

int __wrap_renameat2(int from_folder, const char* from, int to_folder, const char* to,
                     unsigned flags) {
  if (ways_disabled() >= 3) {
    errno = EINVAL;
    return -1;
  }
  if (fails(faulted(RENAME, role_of_name(to)))) return -1;
  return __real_renameat2(from_folder, from, to_folder, to, flags);
}

int __wrap_rename(const char* from, const char* to) {
  if (fails(faulted(REPLACE, role_of_name(to)))) return -1;
  return __real_rename(from, to);
}

int __wrap_fdatasync(int fd) {
  if (fails(faulted(DATASYNC, role_of(fd)))) return -1;
  flushed = fd;
  return __real_fdatasync(fd);
}

// Large-file builds call lstat64 under the name lstat.
int __wrap_lstat(const char* path, struct stat* status) {
  if (fails(faulted(LSTAT, role_of_name(path)))) return -1;
  return __real_lstat(path, status);
}

int __wrap_lstat64(const char* path, struct stat64* status) {
  if (fails(faulted(LSTAT, role_of_name(path)))) return -1;
  return __real_lstat64(path, status);
}

int __wrap_sync_file_range(int fd, off64_t offset, off64_t length, unsigned flags) {
  if (fails(faulted(STORING, role_of(fd)))) return -1;
  return __real_sync_file_range(fd, offset, length, flags);
}

int __wrap_fsync(int fd) {
  if (fails(faulted(FSYNC, role_of(fd)))) return -1;
  return __real_fsync(fd);
}

}  // extern "C"
