// However the process ends mid-copy, nothing new is left in the folder, the
// process ends by the signal it got, and a rerun succeeds. A signal ignored
// at start stays ignored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
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

#ifdef BRMARK_TEST_WINE
// Windows has no FIFOs: Wine is given one that already has its writer.
constexpr bool WRITER_BEFORE_PROGRAM = true;
constexpr const char* FALLBACK_EXECUTABLE = "";
#else
// A producer started after the program: its open of the FIFO waits.
constexpr bool WRITER_BEFORE_PROGRAM = false;
constexpr const char* FALLBACK_EXECUTABLE = BRMARK_FAULTY_EXECUTABLE;
#endif

struct InterruptCase {
  const char* what;
  int signal_number;
  // The program's fallback way of creating (exclusively, under the name),
  // forced through the test build's seam.
  bool fallback = false;
  bool ignored_at_start = false;
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
    {"fallback SIGINT", SIGINT, true},
    {"fallback SIGTERM", SIGTERM, true},
    {"fallback SIGHUP", SIGHUP, true},
    {"fallback SIGQUIT", SIGQUIT, true},
    {"SIGHUP ignored at start", SIGHUP, false, true},
    {"fallback SIGHUP ignored at start", SIGHUP, true, true},
};

// Under Wine SIGINT is the console's Ctrl-C and SIGKILL ends the process as
// End task does; the fallback and the other signals are POSIX things.
[[maybe_unused]] bool needs_posix(const InterruptCase& c) {
  return c.fallback || (c.signal_number != SIGINT && c.signal_number != SIGKILL);
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
bool settles_to(const TempDir& dir, const std::map<std::string, std::string>& expected) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (snapshot(dir.path()) != expected) {
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
  lay_out(dir, {{Entry::fifo, "slow", ""}});
  const std::map<std::string, std::string> before = snapshot(dir.path());
  RunOptions options;
  if (c.fallback) {
    options.executable = FALLBACK_EXECUTABLE;
    options.environment = {"BRMARK_NO_UNNAMED=1"};
  }
  if (c.ignored_at_start) options.ignored_signals = {c.signal_number};

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
  EXPECT_TRUE(settles_to(dir, before)) << "something of the interrupted copy was left";

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

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::ValuesIn(CASES),
                         case_name<InterruptCase>);

}  // namespace
}  // namespace brmark::testing
