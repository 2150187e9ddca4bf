#include "e2e_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace brmark::testing {

namespace fs = std::filesystem;

namespace {

[[maybe_unused]] std::string converted(const char* to, const char* from, const std::string& text) {
  iconv_t converter = iconv_open(to, from);
  EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
  std::string in = text;
  // A one-byte CP932 character (half-width katakana) takes three bytes in
  // UTF-8; four per byte is room for any conversion used here.
  std::string out(in.size() * 4, '\0');
  char* in_at = in.data();
  char* out_at = out.data();
  size_t in_left = in.size();
  size_t out_left = out.size();
  EXPECT_NE(iconv(converter, &in_at, &in_left, &out_at, &out_left), static_cast<size_t>(-1));
  iconv_close(converter);
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace

std::string in_build_encoding(const std::string& utf8) {
#ifdef BRMARK_TEST_SHIFT_JIS
  return converted("SHIFT_JIS", "UTF-8", utf8);
#else
  return utf8;
#endif
}

// Windows keeps names in Unicode, and Wine stores them in UTF-8, so a name
// typed in code page 932 shows up in the folder converted.
std::string file_name(const std::string& pattern) {
#ifdef BRMARK_TEST_WINE
  return converted("UTF-8", "CP932", expand_prefix(pattern));
#else
  return expand_prefix(pattern);
#endif
}

std::string copy_name_of_typed(const std::string& typed_utf8) {
  // Windows names the copy in UTF-16, which Wine stores in UTF-8.
  return (UNDER_WINE ? std::string(text::PREFIX) : expand_prefix("{P}")) + typed_utf8;
}

int status_after(int signal_number) {
  if (UNDER_WINE && signal_number != SIGKILL) return 0xC000013A & 0xFF;
  return BY_SIGNAL + signal_number;
}

int status_of(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : BY_SIGNAL + WTERMSIG(wait_status);
}

std::string with_crlf(const std::string& text) {
  std::string stored;
  for (char byte : text) {
    if (byte == '\n') stored += '\r';
    stored += byte;
  }
  return stored;
}

std::string expand_prefix(const std::string& pattern) {
  const std::string prefix = in_build_encoding(text::PREFIX);
  std::string expanded = pattern;
  for (size_t at; (at = expanded.find("{P}")) != std::string::npos;) {
    expanded.replace(at, 3, prefix);
  }
  return expanded;
}

std::string standard_output_for(const char* message) {
  return with_crlf(in_build_encoding(std::string(text::PROMPT) + message));
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.what;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/brmark-test-XXXXXX";
  const char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
  EXPECT_TRUE(file.good()) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      entries[name] = "link:" + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      entries[name] = "dir";
    } else if (entry.is_regular_file()) {
      entries[name] = "file:" + read_file(entry.path().string());
    } else {
      entries[name] = "other";
    }
  }
  return entries;
}

std::map<std::string, std::string> without_drafts(std::map<std::string, std::string> entries) {
  for (auto entry = entries.begin(); entry != entries.end();) {
    const std::string last = fs::path(entry->first).filename().string();
    entry = last.rfind(".brmark-", 0) == 0 ? entries.erase(entry) : std::next(entry);
  }
  return entries;
}

namespace {

[[noreturn]] void exec_in_child(const std::string& folder, int in, int out, int err,
                                const RunOptions& options) {
  if (chdir(folder.c_str()) != 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // As in a chroot or a small container.
  if (options.without_proc && (unshare(CLONE_NEWNS) != 0 ||
                               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                               mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
    _exit(124);
  }
  // Root reads every file; dropping to nobody makes permissions count.
  if (options.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(125);
  }
  if (options.file_size_limit > 0) {
    const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                       static_cast<rlim_t>(options.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  for (const std::string& variable : options.environment) {
    putenv(const_cast<char*>(variable.c_str()));
  }
  exec_brmark(options);
}

}  // namespace

void exec_brmark(const RunOptions& options) {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
  for (int signal_number : options.ignored_signals) signal(signal_number, SIG_IGN);
  // A POSIX program sees to SIGXFSZ itself; a Windows one cannot, and Wine
  // leaves it at its default, which ends the process.
  if (UNDER_WINE) signal(SIGXFSZ, SIG_IGN);
  umask(static_cast<mode_t>(options.creation_mask));
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  const char* launcher = options.launcher != nullptr ? options.launcher : BRMARK_LAUNCHER;
  const char* executable = options.executable != nullptr ? options.executable : BRMARK_EXECUTABLE;
  std::vector<char*> argv;
  if (*launcher != '\0') argv.push_back(const_cast<char*>(launcher));
  argv.push_back(const_cast<char*>(executable));
  for (const std::string& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

Started start_brmark(const std::string& folder, const std::string& input,
                     const RunOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  if (options.unprivileged) fs::permissions(folder, fs::perms::all);
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) exec_in_child(folder, in[0], out[1], err[1], options);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (options.output_closed) {
    close(out[0]);
    out[0] = -1;
  }
  // The program may stop reading early (a refused name); the rest is lost.
  (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  return Started{child, out[0], err[0]};
}

namespace {

// Appends what is ready on fd; false once it has closed.
bool take_ready(int fd, std::string* bytes) {
  char chunk[4096];
  const ssize_t count = read(fd, chunk, sizeof chunk);
  if (count > 0) bytes->append(chunk, static_cast<size_t>(count));
  return count > 0 || (count < 0 && errno == EINTR);
}

}  // namespace

RunResult finish(const Started& started) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  RunResult result;
  pollfd streams[2] = {{started.out, POLLIN, 0}, {started.err, POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  bool late = false;
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      late = true;
      kill(started.pid, SIGKILL);
      break;
    }
    if (poll(streams, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      if (!take_ready(streams[i].fd, into[i])) {
        close(streams[i].fd);
        streams[i].fd = -1;
      }
    }
  }
  for (const pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  EXPECT_FALSE(late) << "the program was still running after a minute";
  int status = 0;
  EXPECT_EQ(waitpid(started.pid, &status, 0), started.pid);
  result.status = status_of(status);
  return result;
}

RunResult run_brmark(const std::string& folder, const std::string& input,
                     const RunOptions& options) {
  return finish(start_brmark(folder, input, options));
}

namespace {

// The permission bits of each kind of file, as Entry describes them.
fs::perms permissions_of(Entry::Kind kind) {
  switch (kind) {
    case Entry::private_file:
      return fs::perms(0600);
    case Entry::group_writable:
      return fs::perms(0664);
    case Entry::other_group:
      return fs::perms(0604);
    case Entry::unreadable:
      return fs::perms::owner_write;
    default:
      return fs::perms(0644);
  }
}

}  // namespace

namespace {

std::error_code ignored_error;

// An ACL as Linux keeps it: version 2, then (tag, permissions, id) entries,
// little-endian, in the order of their tags.
std::string acl_bytes(const std::vector<std::array<unsigned, 3>>& entries) {
  std::string bytes("\x02\0\0\0", 4);
  for (const auto& [tag, permissions, id] : entries) {
    const unsigned char entry[8] = {
        static_cast<unsigned char>(tag),         static_cast<unsigned char>(tag >> 8),
        static_cast<unsigned char>(permissions), 0,
        static_cast<unsigned char>(id),          static_cast<unsigned char>(id >> 8),
        static_cast<unsigned char>(id >> 16),    static_cast<unsigned char>(id >> 24)};
    bytes.append(reinterpret_cast<const char*>(entry), sizeof entry);
  }
  return bytes;
}

constexpr unsigned USER_OBJ = 0x01, USER = 0x02, GROUP_OBJ = 0x04, MASK = 0x10, OTHER = 0x20;
constexpr unsigned NO_ID = 0xFFFFFFFF;

bool set_acl(const std::string& path, const char* attribute, const std::string& acl) {
  return setxattr(path.c_str(), attribute, acl.data(), acl.size(), 0) == 0;
}

}  // namespace

std::string access_acl(const std::string& path) {
  char acl[1024];
  const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
  return size > 0 ? std::string(acl, static_cast<size_t>(size)) : std::string();
}

// A file's bytes where the file system takes its name.
bool put_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
  return file.good();
}

bool lay_out(const TempDir& dir, const std::vector<Entry>& setup) {
  bool held = true;
  for (const Entry& entry : setup) {
    const std::string path = dir / file_name(entry.name);
    switch (entry.kind) {
      case Entry::acl_file:
        // A build that carries no ACLs has nothing to show with them.
        held = held && LINUX_CALLS;
        held = put_file(path, entry.value) && held;
        held = held && set_acl(path, "system.posix_acl_access",
                               acl_bytes({{USER_OBJ, 6, NO_ID},
                                          {USER, 4, 65534},
                                          {GROUP_OBJ, 0, NO_ID},
                                          {MASK, 4, NO_ID},
                                          {OTHER, 0, NO_ID}}));
        break;
      case Entry::default_acl:
        held = held && LINUX_CALLS &&
               set_acl(entry.name.empty() ? dir.path() : path, "system.posix_acl_default",
                       acl_bytes({{USER_OBJ, 7, NO_ID},
                                  {USER, 6, 65534},
                                  {GROUP_OBJ, 5, NO_ID},
                                  {MASK, 7, NO_ID},
                                  {OTHER, 5, NO_ID}}));
        break;
      case Entry::file:
      case Entry::private_file:
      case Entry::group_writable:
      case Entry::other_group:
      case Entry::unreadable:
        held = put_file(path, entry.value) && held;
        fs::permissions(path, permissions_of(entry.kind), ignored_error);
        if (entry.kind == Entry::other_group) held = chown(path.c_str(), 65534, 6) == 0 && held;
        break;
      case Entry::taken_later:
        break;
      case Entry::folder:
        held = fs::create_directory(path, ignored_error) && held;
        break;
      case Entry::link:
        fs::create_symlink(entry.value, path, ignored_error);
        held = !ignored_error && held;
        break;
      case Entry::fifo:
      case Entry::endless_fifo:
        held = mkfifo(path.c_str(), 0644) == 0 && held;
        break;
    }
  }
  return held;
}

bool keeps_modes(const std::string& folder) {
  const std::string probe = folder + "/.mode-probe";
  std::error_code ignored;
  const bool kept = put_file(probe, "") &&
                    (fs::permissions(probe, fs::perms(0600), ignored), !ignored) &&
                    fs::status(probe).permissions() == fs::perms(0600);
  fs::remove(probe, ignored);
  return kept;
}

bool takes_unnamed_files(const std::string& folder) {
#ifdef O_TMPFILE
  if (!LINUX_CALLS) return false;
  const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
#else
  (void)folder;
  return false;
#endif
}

bool takes_links(const std::string& folder) {
  const std::string from = folder + "/.link-test";
  write_file(from, "");
  const bool linked = link(from.c_str(), (from + "2").c_str()) == 0;
  std::remove((from + "2").c_str());
  std::remove(from.c_str());
  return linked;
}

bool takes_no_replace_renames(const std::string& folder) {
#ifdef RENAME_NOREPLACE
  const std::string from = folder + "/.rename-test";
  write_file(from, "");
  const bool renamed =
      renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, (from + "2").c_str(), RENAME_NOREPLACE) == 0;
  std::remove((renamed ? from + "2" : from).c_str());
  return renamed;
#else
  (void)folder;
  return false;
#endif
}

int open_fifo_writer(const std::string& path) {
  // Without a reader a non-blocking open for writing fails with ENXIO; the
  // test never hangs on a program that does not come.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int fd = -1;
  while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) == -1) {
    if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(fcntl(fd, F_SETFL, 0), 0);
  return fd;
}

bool drained(int fifo_writer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int unread = 0;
  while (ioctl(fifo_writer, FIONREAD, &unread) == 0 && unread > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return unread == 0;
}

namespace {

// As an editor saves a file: written aside, then renamed onto the name,
// replacing whatever stands there.
void take_names_later(const TempDir& dir, const std::vector<Entry>& setup) {
  for (const Entry& entry : setup) {
    if (entry.kind != Entry::taken_later) continue;
    const std::string name = dir / file_name(entry.name);
    write_file(name + ".saving", entry.value);
    EXPECT_EQ(std::rename((name + ".saving").c_str(), name.c_str()), 0) << entry.name;
  }
}

// Writes until the reader has gone (EPIPE), which it must within a few seconds.
void write_until_reader_goes(int fd, const std::string& bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (write(fd, bytes.data(), bytes.size()) > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the program went on reading its endless input";
      return;
    }
  }
  EXPECT_EQ(errno, EPIPE);
}

}  // namespace

void feed_fifos(const TempDir& dir, const std::vector<Entry>& setup) {
  for (const Entry& entry : setup) {
    if ((entry.kind != Entry::fifo && entry.kind != Entry::endless_fifo) || entry.value.empty()) {
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int fd = open_fifo_writer(dir / file_name(entry.name));
    ASSERT_GE(fd, 0) << "nobody opened " << entry.name << " for reading";
    if (entry.kind == Entry::endless_fifo) {
      write_until_reader_goes(fd, entry.value);
    } else {
      EXPECT_EQ(write(fd, entry.value.data(), entry.value.size()),
                static_cast<ssize_t>(entry.value.size()));
      EXPECT_TRUE(drained(fd));
      take_names_later(dir, setup);
    }
    close(fd);
  }
}

}  // namespace brmark::testing
