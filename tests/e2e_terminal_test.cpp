// The program at a terminal, as a person sees it: through a pseudo-terminal.
// Under Wine the Windows program gets a real Windows console, whose host
// draws on that terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "e2e_support.h"

namespace brmark::testing {
namespace {

using namespace std::chrono_literals;

#ifdef BRMARK_TEST_WINE
// Wine's console host draws in the locale's UTF-8, slowly, and switches the
// terminal to raw mode a moment after the program starts: a key typed before
// that arrives as a LF, which the console does not take as Enter.
constexpr auto SCREEN_LIMIT = 60s;
constexpr bool CONSOLE_GOES_RAW = true;
std::string in_screen_encoding(const std::string& utf8) {
  return utf8;
}
#else
constexpr auto SCREEN_LIMIT = 10s;
constexpr bool CONSOLE_GOES_RAW = false;
std::string in_screen_encoding(const std::string& utf8) {
  return in_build_encoding(utf8);
}
#endif

// The screen without the escape sequences (ESC [ ... final byte) that a
// console host puts around its text.
std::string without_escapes(const std::string& screen) {
  std::string text;
  for (size_t at = 0; at < screen.size(); ++at) {
    if (screen[at] == '\x1b' && at + 1 < screen.size() && screen[at + 1] == '[') {
      at += 2;
      while (at < screen.size() && (screen[at] < 0x40 || screen[at] > 0x7e)) ++at;
      continue;
    }
    text += screen[at];
  }
  return text;
}

// brmark running on the slave side of a pseudo-terminal; the test types and
// reads the screen on the master side.
class Terminal {
 public:
  // way: "" for the program as it is, else the way the test build's seam
  // makes it write its output aside.
  Terminal(const std::string& folder, const std::string& way) {
    RunOptions options;
    if (!way.empty()) {
      options.executable = BRMARK_FAULTY_EXECUTABLE;
      options.environment = {"BRMARK_WAY=" + way};
    }
    start(folder, options);
  }

  // Runs options' program instead: a shell that starts brmark.
  Terminal(const std::string& folder, const RunOptions& options) { start(folder, options); }

  ~Terminal() {
    if (!exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }

  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void start(const std::string& folder, RunOptions options) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      // Ctrl-Z would suspend the process; here it must reach brmark as SUB.
      termios settings{};
      tcgetattr(0, &settings);
      settings.c_cc[VSUSP] = _POSIX_VDISABLE;
      tcsetattr(0, TCSANOW, &settings);
      if (chdir(folder.c_str()) != 0) _exit(126);
      for (std::string& variable : options.environment) putenv(variable.data());
      exec_brmark(options);
    }
  }

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads the screen until it shows text; false after a few seconds without.
  bool shows(const std::string& text, std::chrono::steady_clock::duration limit = SCREEN_LIMIT) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (without_escapes(screen_).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char chunk[1024];
      const ssize_t count = read(master_, chunk, sizeof chunk);
      if (count <= 0) return false;  // the program has ended and closed the terminal
      screen_.append(chunk, static_cast<size_t>(count));
    }
    return true;
  }

  // True once keys typed now reach the program as typed.
  bool ready_for_keys() {
    const auto deadline = std::chrono::steady_clock::now() + SCREEN_LIMIT;
    termios settings{};
    while (CONSOLE_GOES_RAW && tcgetattr(master_, &settings) == 0 &&
           (settings.c_lflag & ICANON) != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  void interrupt(int signal_number) { kill(pid_, signal_number); }

  bool running() {
    int status = 0;
    return !exited_ && waitpid(pid_, &status, WNOHANG) == 0;
  }

  // The exit status, or -1 when the program is still running after a few seconds.
  int exit_status() {
    const auto deadline = std::chrono::steady_clock::now() + SCREEN_LIMIT;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      drain_screen();
      std::this_thread::sleep_for(10ms);
    }
    exited_ = true;
    return status_of(status);
  }

  // What the program holds open that lies in folder.
  std::vector<std::string> open_files_in(const std::string& folder) const {
    std::vector<std::string> held;
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator(fds, ignored)) {
      const std::string target = std::filesystem::read_symlink(fd.path(), ignored).string();
      if (target.rfind(folder + "/", 0) == 0) held.push_back(target);
    }
    return held;
  }

 private:
  // A program whose terminal output is not read may block on a full screen.
  void drain_screen() {
    pollfd ready{master_, POLLIN, 0};
    char chunk[1024];
    while (poll(&ready, 1, 0) > 0) {
      const ssize_t count = read(master_, chunk, sizeof chunk);
      if (count <= 0) break;
      screen_.append(chunk, static_cast<size_t>(count));
    }
  }

  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string screen_;
};

// The bytes a message puts on the screen, without its final line end: the
// program writes CR LF, and the terminal shows an LF as CR LF.
std::string on_screen(const char* message) {
  std::string shown;
  for (char byte : in_screen_encoding(message))
    shown += byte == '\n' ? std::string("\r\r\n") : std::string(1, byte);
  shown.resize(shown.size() - 3);
  return shown;
}

struct TerminalCase {
  const char* what;
  std::string keys;  // typed after the prompt is on the screen
  const char* message;
  bool waits_for_enter;
  int status;
  bool creates_copy;
  int signal_in_wait = 0;     // sent during the closing wait instead of Enter
  bool target_taken = false;  // the copy's name holds "keep" before the run
  // The file the keys name, in UTF-8 as typed, and another one beside it
  // whose name only looks alike.
  const char* input = "memo.txt";
  const char* look_alike = nullptr;
  const char* way = "";  // as Terminal takes it
};

void PrintTo(const TerminalCase& c, std::ostream* out) {
  *out << c.what;
}

const TerminalCase CASES[] = {
    {"typical run", "memo.txt\r", text::CREATED, true, 0, true},
    // me, then a SUB that drops the rest of that line; the name goes on in the next line.
    {"SUB within a line ends only that line", "me\x1ajunk\rmo.txt\r", text::CREATED, true, 0, true},
    {"a line that begins with SUB is an empty name", "\x1a\r", text::NOT_FOUND, true, 1, false},
    {"end of input is not remembered by the wait", "\x04", text::NOT_FOUND, true, 1, false},
    {"a long line is consumed whole", std::string(250, 'x') + "\r", text::NAME_TOO_LONG, true, 1,
     false},
    {"the rest of a 300-byte line ends the wait", std::string(300, 'x') + "\r", text::NAME_TOO_LONG,
     false, 1, false},
    // 260 bytes fill the name buffer; the pending line end ends the wait.
    {"the line end of a 260-byte line ends the wait", std::string(260, 'x') + "\r",
     text::NAME_TOO_LONG, false, 1, false},
    // Ctrl-D hands over the 260 bytes without their line end: all of them
    // are the name, so the wait has nothing pending and waits for Enter.
    {"a 260-byte line whose line end comes later", std::string(260, 'x') + "\x04",
     text::NAME_TOO_LONG, true, 1, false},
    // Once kept, the copy is no longer the interrupt's to remove.
    {"SIGINT in the closing wait keeps the copy", "memo.txt\r", text::CREATED, true,
     status_after(SIGINT), true, SIGINT},
    {"SIGHUP in the closing wait keeps the copy", "memo.txt\r", text::CREATED, true,
     status_after(SIGHUP), true, SIGHUP},
    {"SIGINT in the closing wait keeps a copy linked from aside", "memo.txt\r", text::CREATED, true,
     status_after(SIGINT), true, SIGINT, false, "memo.txt", nullptr, "link"},
    {"SIGINT in the closing wait keeps a copy renamed from aside", "memo.txt\r", text::CREATED,
     true, status_after(SIGINT), true, SIGINT, false, "memo.txt", nullptr, "rename"},
    {"SIGINT in the closing wait keeps a copy renamed over a claim", "memo.txt\r", text::CREATED,
     true, status_after(SIGINT), true, SIGINT, false, "memo.txt", nullptr, "claim"},
    {"the input and the probed target are closed before the wait", "memo.txt\r",
     text::TARGET_EXISTS, true, 1, false, 0, true},
    {"the input is closed before the wait when the copy cannot be made", "d/memo.txt\r",
     text::CREATE_FAILED, true, 1, false, 0, false, "d/memo.txt"},
    // Characters the console's code page cannot hold, and one that it would
    // turn into a look-alike.
    {"a name no code page holds is opened as typed", "\xED\x95\x9C\xEA\xB8\x80.txt\r",
     text::CREATED, true, 0, true, 0, false, "\xED\x95\x9C\xEA\xB8\x80.txt"},
    {"an accented name opens that file, never its look-alike", "caf\xC3\xA9.txt\r", text::CREATED,
     true, 0, true, 0, false, "caf\xC3\xA9.txt", "cafe.txt"},
};

// Ctrl-D and SIGHUP belong to POSIX terminals; a Windows console has neither.
// The test build with its seam is a POSIX one.
[[maybe_unused]] bool needs_posix_terminal(const TerminalCase& c) {
  return c.keys.find('\x04') != std::string::npos || c.signal_in_wait == SIGHUP || *c.way != '\0';
}

class AtTerminal : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(AtTerminal, ShowsPromptAndMessageThenWaitsAsTheLineRequires) {
  const TerminalCase& c = GetParam();
  SCOPED_TRACE(c.what);
#ifdef BRMARK_TEST_WINE
  if (needs_posix_terminal(c)) GTEST_SKIP() << "Ctrl-D and SIGHUP are POSIX terminal things";
#endif
  TempDir dir;
  std::filesystem::create_directories(std::filesystem::path(dir / c.input).parent_path());
  write_file(dir / c.input, "a\r\n");
  if (c.look_alike != nullptr) write_file(dir / c.look_alike, "look-alike\n");
  const std::string copy = dir / copy_name_of_typed(c.input);
  if (c.target_taken) write_file(copy, "keep");
  Terminal terminal(dir.path(), c.way);

  ASSERT_TRUE(terminal.shows(on_screen(text::PROMPT))) << "prompt before anything is typed";
  ASSERT_TRUE(terminal.ready_for_keys());
  terminal.type(c.keys);
  ASSERT_TRUE(terminal.shows(on_screen(c.message)));
  if (c.waits_for_enter) {
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(terminal.running()) << "the message is shown while the program waits";
    // Wine's server, not the program's process, holds a Windows program's files.
    if (!UNDER_WINE) {
      EXPECT_EQ(terminal.open_files_in(dir.path()), std::vector<std::string>{});
    }
    if (c.signal_in_wait != 0) {
      terminal.interrupt(c.signal_in_wait);
    } else {
      terminal.type("\r");
    }
  }
  EXPECT_EQ(terminal.exit_status(), c.status);
  EXPECT_EQ(std::filesystem::exists(copy), c.creates_copy || c.target_taken);
  if (c.creates_copy || c.target_taken) {
    EXPECT_EQ(read_file(copy), c.creates_copy ? "a<br>\r\n" : "keep");
  }
  if (c.look_alike != nullptr) {
    EXPECT_FALSE(std::filesystem::exists(dir / copy_name_of_typed(c.look_alike)));
  }
}

#ifdef BRMARK_TEST_WINE
// cmd /k starts the program and then reads commands from the same console.
RunOptions through_the_shell() {
  std::string program = std::string("Z:") + BRMARK_EXECUTABLE;
  std::replace(program.begin(), program.end(), '/', '\\');
  RunOptions options;
  options.executable = "cmd";
  options.arguments = {"/k", program};
  return options;
}
// What the shell would run from the rest of the line: cmd expands %OS%, so
// the output differs from the typed text the console shows.
const char* const COMMAND_AFTER = "&echo INJ_%OS%";
const char* const COMMAND_RAN = "INJ_Windows_NT";
#else
// sh reads the next line from the terminal after the program and shows it.
RunOptions through_the_shell() {
  RunOptions options;
  options.launcher = "";
  options.executable = "/bin/sh";
  options.arguments = {"-c", std::string(BRMARK_EXECUTABLE) + "; read rest; echo \"ran[$rest]\""};
  return options;
}
const char* const COMMAND_AFTER = ";echo INJ";
const char* const COMMAND_RAN = "ran[x";
#endif

// A pasted line far longer than a name is refused whole: nothing of it is
// left for the shell that reads the console after the program.
TEST(AtTerminal, ALongTypedLineLeavesNothingForTheShell) {
  TempDir dir;
  Terminal terminal(dir.path(), through_the_shell());
  ASSERT_TRUE(terminal.shows(on_screen(text::PROMPT)));
  ASSERT_TRUE(terminal.ready_for_keys());
  terminal.type(std::string(2000, 'x') + COMMAND_AFTER + "\r");
  ASSERT_TRUE(terminal.shows(on_screen(text::NAME_TOO_LONG)));
  EXPECT_FALSE(terminal.shows(COMMAND_RAN, 3s)) << "the rest of the line reached the shell";
}

INSTANTIATE_TEST_SUITE_P(Cases, AtTerminal, ::testing::ValuesIn(CASES), case_name<TerminalCase>);

}  // namespace
}  // namespace brmark::testing
