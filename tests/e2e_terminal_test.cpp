// The program at a terminal, as a person sees it: through a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "case_name.h"
#include "e2e_support.h"

namespace brmark::testing {
namespace {

using namespace std::chrono_literals;

// brmark running on the slave side of a pseudo-terminal; the test types and
// reads the screen on the master side.
class Terminal {
 public:
  explicit Terminal(const std::string& folder) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      // Ctrl-Z would suspend the process; here it must reach brmark as SUB.
      termios settings{};
      tcgetattr(0, &settings);
      settings.c_cc[VSUSP] = _POSIX_VDISABLE;
      tcsetattr(0, TCSANOW, &settings);
      if (chdir(folder.c_str()) != 0) _exit(126);
      execl(BRMARK_EXECUTABLE, BRMARK_EXECUTABLE, static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  ~Terminal() {
    if (!exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }

  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads the screen until it shows text; false after a few seconds without.
  bool shows(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (screen_.find(text) == std::string::npos) {
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

  bool running() {
    int status = 0;
    return !exited_ && waitpid(pid_, &status, WNOHANG) == 0;
  }

  // The exit status, or -1 when the program is still running after a few seconds.
  int exit_status() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      drain_screen();
      std::this_thread::sleep_for(10ms);
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
  for (char byte : in_build_encoding(message))
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
};

class AtTerminal : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(AtTerminal, ShowsPromptAndMessageThenWaitsAsTheLineRequires) {
  const TerminalCase& c = GetParam();
  SCOPED_TRACE(c.what);
  TempDir dir;
  write_file(dir / "memo.txt", "a\r\n");
  Terminal terminal(dir.path());

  ASSERT_TRUE(terminal.shows(on_screen(text::PROMPT))) << "prompt before anything is typed";
  terminal.type(c.keys);
  ASSERT_TRUE(terminal.shows(on_screen(c.message)));
  if (c.waits_for_enter) {
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(terminal.running()) << "the message is shown while the program waits";
    terminal.type("\r");
  }
  EXPECT_EQ(terminal.exit_status(), c.status);
  const std::string copy = dir / expand_prefix("{P}memo.txt");
  EXPECT_EQ(std::filesystem::exists(copy), c.creates_copy);
  if (c.creates_copy) {
    EXPECT_EQ(read_file(copy), "a<br>\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AtTerminal, ::testing::ValuesIn(CASES), case_name<TerminalCase>);

}  // namespace
}  // namespace brmark::testing
