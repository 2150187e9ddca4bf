// An interrupted copy leaves nothing behind and ends by the signal it got.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace brmark::testing {
namespace {

using namespace std::chrono_literals;

bool appears_within(const std::string& path, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

#ifdef BRMARK_TEST_WINE
// Wine turns SIGINT into the console's Ctrl-C.
const auto SIGNALS = ::testing::Values(SIGINT);
// Windows has no FIFOs: Wine is given one that already has its writer.
constexpr bool WRITER_BEFORE_PROGRAM = true;
#else
// A producer started after the program: its open of the FIFO waits.
constexpr bool WRITER_BEFORE_PROGRAM = false;
const auto SIGNALS = ::testing::Values(SIGINT, SIGTERM, SIGHUP);
#endif

class Interrupted : public ::testing::TestWithParam<int> {};

TEST_P(Interrupted, CopyIsRemovedAndTheSignalEndsTheProcess) {
  const int signal_number = GetParam();
  TempDir dir;
  // The input is a FIFO whose writer stays open, so the copy is still
  // running, with part of the output written, when the signal arrives.
  lay_out(dir, {{Entry::fifo, "slow", ""}});
  const std::string fifo = dir / "slow";
  const int early_feed = WRITER_BEFORE_PROGRAM ? open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
  const Started started = start_brmark(dir.path(), "slow\n");
  const int feed = WRITER_BEFORE_PROGRAM ? early_feed : open_fifo_writer(fifo);
  if (feed < 0) kill(started.pid, SIGKILL);
  ASSERT_GE(feed, 0);
  const std::string part(10000, 'x');
  ASSERT_EQ(write(feed, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  const std::string copy = dir / file_name("{P}slow");
  ASSERT_TRUE(appears_within(copy, 10s));
  std::this_thread::sleep_for(50ms);
  kill(started.pid, signal_number);
  const RunResult result = finish(started);
  close(feed);

  EXPECT_EQ(result.status, status_after(signal_number));
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(std::filesystem::exists(copy));
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, SIGNALS,
                         [](const ::testing::TestParamInfo<int>& signal_info) {
                           return std::string(sigabbrev_np(signal_info.param));
                         });

}  // namespace
}  // namespace brmark::testing
