// However the process ends mid-copy, nothing stands under the copy's name,
// the process ends by the signal it got, and a rerun succeeds. Nothing new is
// left at all, but for the hidden draft that a run killed outright leaves
// where the copy was written aside under a name of its own. A signal ignored
// at start stays ignored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "case_name.h"
#include "e2e_support.h"

namespace brmark::testing {
namespace {

using namespace std::chrono_literals;

// Built with AddressSanitizer, as the program under test then is too.
#ifdef __SANITIZE_ADDRESS__
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

#ifdef BRMARK_TEST_WINE
// Windows has no FIFOs: Wine is given one that already has its writer.
constexpr bool WRITER_BEFORE_PROGRAM = true;
#else
// A producer started after the program: its open of the FIFO waits.
constexpr bool WRITER_BEFORE_PROGRAM = false;
#endif

struct InterruptCase {
  const char* what;
  int signal_number;
  // "" for the program's own way of writing its output aside, else the way
  // the test build's seam makes it take.
  const char* way = "";
  bool ignored_at_start = false;
  bool without_proc = false;
};

void PrintTo(const InterruptCase& c, std::ostream* out) {
  *out << c.what;
}

const InterruptCase CASES[] = {
    {"SIGINT", SIGINT},
    {"SIGKILL", SIGKILL},
    {"SIGTERM", SIGTERM},
    {"SIGHUP", SIGHUP},
    {"SIGQUIT", SIGQUIT},
    {"SIGUSR1", SIGUSR1},
    {"SIGUSR2", SIGUSR2},
    {"SIGALRM", SIGALRM},
    {"SIGVTALRM", SIGVTALRM},
    {"SIGPROF", SIGPROF},
    {"linked from aside SIGUSR1", SIGUSR1, "link"},
    {"renamed over a claim SIGTERM", SIGTERM, "claim"},
    {"renamed over a claim SIGKILL", SIGKILL, "claim"},
    {"linked from aside SIGINT", SIGINT, "link"},
    {"linked from aside SIGKILL", SIGKILL, "link"},
    {"renamed from aside SIGTERM", SIGTERM, "rename"},
    {"renamed from aside SIGKILL", SIGKILL, "rename"},
    {"SIGHUP ignored at start", SIGHUP, "", true},
    {"linked from aside SIGHUP ignored at start", SIGHUP, "link", true},
    // Real-time signals, and those that end the process with a core.
    {"SIGRTMIN", SIGRTMIN},
    {"linked from aside SIGRTMIN+5", SIGRTMIN + 5, "link"},
    {"renamed over a claim SIGRTMAX", SIGRTMAX, "claim"},
    {"linked from aside SIGABRT", SIGABRT, "link"},
    {"SIGBUS", SIGBUS},
    {"renamed from aside SIGFPE", SIGFPE, "rename"},
    {"SIGILL", SIGILL},
    {"linked from aside SIGSEGV", SIGSEGV, "link"},
    {"renamed over a claim SIGSYS", SIGSYS, "claim"},
    {"SIGTRAP", SIGTRAP},
    // The unnamed file linked by its descriptor where there is no /proc.
    {"without proc SIGKILL", SIGKILL, "", false, true},
};

// Under Wine SIGINT is the console's Ctrl-C and SIGKILL ends the process as
// End task does; the seam's ways and the other signals are POSIX things.
[[maybe_unused]] bool needs_posix(const InterruptCase& c) {
  return *c.way != '\0' || c.without_proc ||
         (c.signal_number != SIGINT && c.signal_number != SIGKILL);
}

// SIGKILL, which no handler sees, may leave the hidden draft of a copy
// written aside under a name of its own; never anything else.
bool may_leave_draft(const InterruptCase& c, const std::string& folder) {
  if (c.signal_number != SIGKILL) return false;
  if (UNDER_WINE) return true;
  const std::string way = c.way;
  return way == "link" || way == "rename" || way == "claim" ||
         (way.empty() && !takes_unnamed_files(folder));
}

// A run copying from the FIFO "slow", whose writer is feed.
struct FedRun {
  Started started;
  int feed;
};

FedRun start_fed(const TempDir& dir, const RunOptions& options) {
  const std::string fifo = dir / "slow";
  const int early_feed = WRITER_BEFORE_PROGRAM ? open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
  const Started started = start_brmark(dir.path(), "slow\n", options);
  const int feed = WRITER_BEFORE_PROGRAM ? early_feed : open_fifo_writer(fifo);
  if (feed < 0) kill(started.pid, SIGKILL);
  return {started, feed};
}

// Wine's server closes a killed program's files, and so removes its
// unfinished output, a moment after the process has gone.
bool settles_to(const TempDir& dir, const std::map<std::string, std::string>& expected,
                bool draft_may_remain) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const auto now = [&] {
    return draft_may_remain ? without_drafts(snapshot(dir.path())) : snapshot(dir.path());
  };
  while (now() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class Interrupted : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(Interrupted, LeavesNothingNewAndEndsByTheSignal) {
  const InterruptCase& c = GetParam();
  if (UNDER_WINE && needs_posix(c)) GTEST_SKIP() << "a POSIX signal or the POSIX fallback";
  TempDir dir;
  if (std::string(c.way) == "rename" && !takes_no_replace_renames(dir.path())) {
    GTEST_SKIP() << "this file system cannot rename without replacing: the program renames "
                    "over a claim here";
  }
  if (!lay_out(dir, {{Entry::fifo, "slow", ""}})) {
    GTEST_SKIP() << "this file system holds no FIFOs: the kills at each change of the folder "
                    "stand in for these";
  }
  const std::map<std::string, std::string> before = snapshot(dir.path());
  RunOptions options;
  if (*c.way != '\0') {
    options.executable = BRMARK_FAULTY_EXECUTABLE;
    options.environment = {std::string("BRMARK_WAY=") + c.way};
  }
  if (c.ignored_at_start) options.ignored_signals = {c.signal_number};
  if (c.without_proc && geteuid() != 0) GTEST_SKIP() << "a /proc of its own needs root";
  if (c.without_proc && SANITIZED) GTEST_SKIP() << "the sanitizers' runtime needs /proc";
  options.without_proc = c.without_proc;

  // The writer stays open, so the copy is still running, with part of the
  // output written, when the signal arrives.
  const FedRun run = start_fed(dir, options);
  ASSERT_GE(run.feed, 0);
  const std::string part(10000, 'x');
  ASSERT_EQ(write(run.feed, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  ASSERT_TRUE(drained(run.feed));
  std::this_thread::sleep_for(50ms);
  kill(run.started.pid, c.signal_number);

  if (c.ignored_at_start) {
    std::this_thread::sleep_for(100ms);
    close(run.feed);
    const RunResult result = finish(run.started);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, standard_output_for(text::CREATED));
    EXPECT_EQ(read_file(dir / file_name("{P}slow")), part);
    return;
  }
  const RunResult result = finish(run.started);
  close(run.feed);
  EXPECT_EQ(result.status, status_after(c.signal_number));
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(settles_to(dir, before, may_leave_draft(c, dir.path())))
      << "something of the interrupted copy was left";

  const FedRun rerun = start_fed(dir, options);
  ASSERT_GE(rerun.feed, 0);
  ASSERT_EQ(write(rerun.feed, "x\n", 2), 2);
  // A FIFO drops what it holds when its last user closes it; under Wine the
  // program may not have opened it yet.
  ASSERT_TRUE(drained(rerun.feed));
  close(rerun.feed);
  const RunResult second = finish(rerun.started);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, standard_output_for(text::CREATED));
  EXPECT_EQ(read_file(dir / file_name("{P}slow")), "x<br>\r\n");
}

// Waits for the n-th name to appear in the folder (made or moved there)
// while the program runs; false once it has ended, or after twenty seconds.
bool nth_name_appears(int watch, int n, pid_t program) {
  alignas(inotify_event) char events[4096];
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int seen = 0; seen < n;) {
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(program), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        ended.si_pid == program) {
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd event{watch, POLLIN, 0};
    if (poll(&event, 1, 10) != 1) continue;
    const ssize_t size = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < size; ++seen) {
      at += static_cast<ssize_t>(sizeof(inotify_event) +
                                 reinterpret_cast<const inotify_event*>(events + at)->len);
    }
  }
  return true;
}

// Stopped the moment the n-th name appears in the folder, for each of the
// first few, by a signal no handler sees and by one the program handles:
// the copy's name holds nothing, or the whole copy once it is published, or
// where the copy is renamed over a claim and the kill came in the instant
// between them, the empty claim. A rerun then does its job (once the user
// has removed such a claim).
TEST(Interrupted, StoppedAsEachNameAppearsLeavesNoPartCopy) {
  const std::string input = std::string(3 << 20, 'x') + "\n";
  const std::string copy = std::string(3 << 20, 'x') + "<br>\r\n";
  const int signals[] = {SIGKILL, SIGUSR1};
  for (const int signal_number : signals) {
    // Wine keeps SIGUSR1 for itself.
    if (UNDER_WINE && signal_number != SIGKILL) continue;
    for (int n = 1; n <= 5; ++n) {
      SCOPED_TRACE("signal " + std::to_string(signal_number) + " at name " + std::to_string(n));
      TempDir dir;
      write_file(dir / "memo.txt", input);
      const bool claims = !UNDER_WINE && !takes_unnamed_files(dir.path()) &&
                          !takes_links(dir.path()) && !takes_no_replace_renames(dir.path());
      const int watch = inotify_init1(IN_CLOEXEC);
      ASSERT_GE(watch, 0);
      ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
      const Started started = start_brmark(dir.path(), "memo.txt\n");
      const bool appeared = nth_name_appears(watch, n, started.pid);
      kill(started.pid, signal_number);
      close(watch);
      const RunResult stopped = finish(started);
      // A program that publishes early may end on its own before the signal.
      EXPECT_TRUE(stopped.status == status_after(signal_number) || stopped.status == 0)
          << stopped.status;
      if (!appeared) {
        EXPECT_EQ(stopped.status, 0) << "fewer names appeared, yet it went on";
      }
      const std::string name = dir / file_name("{P}memo.txt");
      std::this_thread::sleep_for(200ms);  // Wine's server closes the files
      if (std::filesystem::exists(name) && read_file(name) != copy) {
        EXPECT_TRUE(claims && signal_number == SIGKILL && read_file(name).empty())
            << "a part copy under the copy's name";
        std::filesystem::remove(name);
      }
      if (std::filesystem::exists(name)) continue;
      const RunResult rerun = run_brmark(dir.path(), "memo.txt\n");
      EXPECT_EQ(rerun.out, standard_output_for(text::CREATED));
      EXPECT_TRUE(read_file(name) == copy);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::ValuesIn(CASES),
                         case_name<InterruptCase>);

}  // namespace
}  // namespace brmark::testing
