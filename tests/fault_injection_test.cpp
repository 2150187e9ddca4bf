// Every system call of a run, failed one at a time: the program must say what
// went wrong, keep every existing file as it was, and leave no copy behind
// unless the run succeeded. Interrupted calls and short transfers must change
// nothing at all.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace brmark::testing {
namespace {

struct Call {
  std::string kind;
  std::string role;
  int nth;  // among the calls of its kind, from 1
};

struct Outcome {
  const char* message;
  int status;
  bool copy_kept;
  bool stdout_known = true;      // false when the fault hit standard output
  bool copy_may_remain = false;  // true when the fault hit the removal itself
  // A hidden draft may be left: the removal of one failed, or the program
  // was killed outright.
  bool draft_may_remain = false;
};

const std::string LINES = [] {
  std::string lines;
  for (int i = 0; i < 120000; ++i) lines += "line\r\n";
  return lines;
}();
// More than a storing step, so that storing is asked for on the way.
const std::string MARKED_LINES = [] {
  std::string lines;
  for (int i = 0; i < 120000; ++i) lines += "line<br>\r\n";
  return lines;
}();

// A normal run, one that spans several buffers, and each refusal path.
const std::vector<Scenario> SCENARIOS = {
    {"created", {{Entry::file, "a", "x\n"}}, "a\n", text::CREATED, 0, "{P}a", "x<br>\r\n"},
    {"created over several buffers",
     {{Entry::file, "a", LINES}},
     "a\n",
     text::CREATED,
     0,
     "{P}a",
     MARKED_LINES},
    {"no input", {}, "", text::NOT_FOUND, 1},
    {"name too long", {}, std::string(300, 'n') + "\n", text::NAME_TOO_LONG, 1},
    {"not found", {}, "a\n", text::NOT_FOUND, 1},
    {"target exists",
     {{Entry::file, "a", "x"}, {Entry::file, "{P}a", "keep"}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    // Looked at, never followed: refused before anything is read.
    {"target is a dangling link",
     {{Entry::file, "a", "x"}, {Entry::link, "{P}a", "elsewhere"}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    {"create failed",
     {{Entry::folder, "d", ""}, {Entry::file, "d/a", "x"}},
     "d/a\n",
     text::CREATE_FAILED,
     1},
    {"read failed", {{Entry::link, "mem", "/proc/self/mem"}}, "mem\n", text::READ_FAILED, 1},
#ifndef BRMARK_TEST_SHIFT_JIS
    // After the 9-byte UTF-8 prefix the copy's name is 256 bytes, one more
    // than file systems take: refused before any byte is copied.
    {"copy name too long",
     {{Entry::file, std::string(247, 'n'), "x\n"}},
     std::string(247, 'n') + "\n",
     text::CREATE_FAILED,
     1},
#endif
    {"write failed", {{Entry::file, "a", LINES}}, "a\n", text::WRITE_FAILED, 1, "", "", {{}, 4096}},
};

// The ways the program writes its output where nobody sees it, as the test
// build's seam picks them: an unnamed file, or a hidden file linked or
// renamed to the name or renamed over a claim of it.
enum class Way { unnamed, link, rename, claim };
constexpr Way WAYS[] = {Way::unnamed, Way::link, Way::rename, Way::claim};
const char* const WAY_NAMES[] = {"unnamed", "link", "rename", "claim"};

const char* name_of(Way way) {
  return WAY_NAMES[static_cast<int>(way)];
}

// The way the program takes where the seam leaves it way and the folder
// has what it has: a FUSE mount (bindfs) links where unnamed files are
// wanted, and takes no renaming without replacing.
Way way_taken(Way way) {
  TempDir dir;
  const bool links = takes_links(dir.path());
  if (way == Way::unnamed && !takes_unnamed_files(dir.path())) way = Way::link;
  if (way == Way::link && !links) way = Way::rename;
  if (way == Way::rename && !takes_no_replace_renames(dir.path())) way = Way::claim;
  return way;
}

RunOptions faulty(const Scenario& scenario, Way way, const std::string& fault,
                  const std::string& log) {
  RunOptions options = scenario.options;
  options.executable = BRMARK_FAULTY_EXECUTABLE;
  options.environment = {"BRMARK_FAULT=" + fault, "BRMARK_FAULT_LOG=" + log,
                         std::string("BRMARK_WAY=") + name_of(way)};
  return options;
}

std::vector<Call> calls_of_clean_run(const Scenario& scenario, Way way) {
  TempDir dir;
  lay_out(dir, scenario.setup);
  const std::string log = dir.path() + ".calls";
  run_brmark(dir.path(), expand_prefix(scenario.typed), faulty(scenario, way, "none 0 EIO", log));
  std::vector<Call> calls;
  std::ifstream lines(log);
  std::map<std::string, int> counts;
  for (std::string kind, role; lines >> kind >> role;)
    calls.push_back({kind, role, ++counts[kind]});
  std::remove(log.c_str());
  return calls;
}

// The modes that make sense for a kind of call: an error, and where the
// program must carry on unchanged, an interruption or a short transfer. A
// write of the output is also where the program may be stopped with the
// copy not yet whole: by an interrupt, and outright (SIGKILL).
std::vector<std::string> modes_for(const Call& call) {
  if (call.kind == "open" && call.role == "output") return {"EIO", "EINTR", "SIGINT", "SIGHUP"};
  if (call.kind == "open") return {"EACCES", "EINTR"};
  if (call.kind == "read") return {"EIO", "EINTR", "SHORT"};
  if (call.kind == "write" && call.role == "output") {
    return {"ENOSPC", "EINTR", "SHORT", "SIGINT", "SIGKILL"};
  }
  if (call.kind == "write") return {"ENOSPC", "EINTR", "SHORT"};
  // EEXIST: another program took the name while the copy ran.
  if (call.kind == "link" || call.kind == "rename") return {"EIO", "EEXIST"};
  // A close that fails, and an interrupt at once: nothing may be left.
  if (call.kind == "close" && call.role == "output") return {"EIO", "EIO+SIGINT"};
  // A file system that cannot flush a folder says EINVAL; an interrupt
  // then waits for the verdict, which must not keep the copy.
  if (call.kind == "fsync") return {"EIO", "EINVAL", "SIGTERM"};
  return {"EIO"};
}

// The fault setting for a mode, which may join an error and a signal.
std::string fault_for(const Call& call, const std::string& mode) {
  const std::string site = call.kind + " " + std::to_string(call.nth) + " ";
  const std::size_t plus = mode.find('+');
  if (plus == std::string::npos) return site + mode;
  return site + mode.substr(0, plus) + "," + site + mode.substr(plus + 1);
}

bool publishes(const Call& call) {
  return call.role == "name" &&
         (call.kind == "link" || call.kind == "rename" || call.kind == "replace");
}

// An empty claim is closed before the copy is renamed over it; nothing
// rides on that close.
bool closes_claim(const std::vector<Call>& calls, std::size_t at) {
  if (calls[at].kind != "close" || calls[at].role != "output") return false;
  std::size_t next = at + 1;
  while (next < calls.size() && calls[next].kind == "lstat") ++next;
  return next < calls.size() && calls[next].kind == "replace";
}

// A look at a name that is part of removing it: the unlink of that name
// follows.
bool looks_to_remove(const std::vector<Call>& calls, std::size_t at) {
  return calls[at].kind == "lstat" && at + 1 < calls.size() && calls[at + 1].kind == "unlink" &&
         calls[at + 1].role == calls[at].role;
}

// last_look: the call is the last look at the name of the run; removal: it
// is part of removing a name.
Outcome expected_outcome(const Scenario& scenario, const Call& call, const std::string& mode,
                         bool claim_closed, bool last_look, bool removal) {
  const Outcome clean{scenario.message, scenario.status, !scenario.created.empty()};
  // The process ends by the signal, and the new file goes with it.
  if (mode == "SIGINT" || mode == "EIO+SIGINT") return {"", status_after(SIGINT), false, false};
  // Asking for storing to start early is advice, whatever it answers.
  if (mode == "EINTR" || mode == "SHORT" || mode == "EINVAL" || claim_closed ||
      call.kind == "storing") {
    return clean;
  }
  if (mode == "SIGHUP") return {"", status_after(SIGHUP), false, false};
  if (mode == "SIGTERM") return {"", status_after(SIGTERM), false, false};
  if (mode == "SIGKILL") return {"", status_after(SIGKILL), false, false, false, true};
  const std::string site = call.kind + " " + call.role;
  if (site == "open input") return {text::NOT_FOUND, 1, false};
  if (site == "open output") return {text::CREATE_FAILED, 1, false};
  // Publishing: another program's file at the name, or a failure.
  if (publishes(call)) {
    return {mode == "EEXIST" ? text::TARGET_EXISTS : text::CREATE_FAILED, 1, false};
  }
  // Removing a name: the look at what it holds, or the unlink.
  if ((removal || call.kind == "unlink") && call.role == "draft") {
    return {clean.message, clean.status, clean.copy_kept, true, false, true};
  }
  if (removal || call.kind == "unlink") {
    return {clean.message, clean.status, clean.copy_kept, true, true};
  }
  // Looking at a name: the first look at the output name is before anything
  // is read, the last one after the copy's close; between them it is the
  // claim's or the draft's, which must still be there before the copy is
  // named.
  if (call.kind == "lstat") {
    const bool kept_look = last_look && call.nth > 1 && !scenario.created.empty();
    return {kept_look ? text::WRITE_FAILED : text::CREATE_FAILED, 1, false};
  }
  // Flushing the copy, or the folder once it is named: not stored.
  if (site == "datasync output" || site == "fsync folder") return {text::WRITE_FAILED, 1, false};
  // Failing the first read of the name leaves it empty.
  if (site == "read stdin" && call.nth == 1) return {text::NOT_FOUND, 1, false};
  if (site == "read input") return {text::READ_FAILED, 1, false};
  // A read error found first is the one reported.
  if (site == "write output" || site == "close output") {
    return {clean.message == text::READ_FAILED ? text::READ_FAILED : text::WRITE_FAILED, 1, false};
  }
  if (site == "write stdout") return {clean.message, clean.status, clean.copy_kept, false};
  // The probe, the closing wait and closing what was only read decide nothing.
  return clean;
}

// Runs the scenario with the faults and reports whether everything held.
bool holds_with_fault(const Scenario& scenario, Way way, const std::string& fault,
                      const Outcome& expected) {
  TempDir dir;
  lay_out(dir, scenario.setup);
  std::map<std::string, std::string> files = snapshot(dir.path());
  const std::string copy = expand_prefix(scenario.created);
  if (expected.copy_kept) files[copy] = "file:" + scenario.created_bytes;

  const RunResult result = run_brmark(dir.path(), expand_prefix(scenario.typed),
                                      faulty(scenario, way, fault, dir.path() + ".calls"));
  std::remove((dir.path() + ".calls").c_str());
  std::map<std::string, std::string> after = snapshot(dir.path());
  if (expected.copy_may_remain) {
    const std::string typed = expand_prefix(scenario.typed);
    after.erase(expand_prefix("{P}") + typed.substr(0, typed.find('\n')));
  }
  if (expected.draft_may_remain) after = without_drafts(after);

  SCOPED_TRACE(std::string(scenario.what) + " (" + name_of(way) + "): " + fault);
  bool held = true;
  const auto check = [&held](bool condition, const char* what) {
    EXPECT_TRUE(condition) << what;
    held = held && condition;
  };
  check(result.status == expected.status, "exit status");
  check(result.err.empty(), "nothing on standard error");
  check(!expected.stdout_known || result.out == standard_output_for(expected.message),
        "prompt and message");
  check(after == files, "files: existing ones unchanged, a copy only after success");
  return held;
}

// The last call of kind in role, as the n-th of its kind.
int last_call(const std::vector<Call>& calls, const std::string& kind, const std::string& role) {
  int nth = 0;
  for (const Call& call : calls) {
    if (call.kind == kind && call.role == role) nth = call.nth;
  }
  return nth;
}

TEST(FaultInjection, EveryCallOfEveryPathFailedOnce) {
  int sites = 0;
  int runs = 0;
  int failures = 0;
  for (const Way way : WAYS) {
    for (const Scenario& scenario : SCENARIOS) {
      const std::vector<Call> calls = calls_of_clean_run(scenario, way);
      EXPECT_FALSE(calls.empty()) << scenario.what;
      const auto made = [&calls](const char* kind, const char* role) {
        return std::any_of(calls.begin(), calls.end(), [&](const Call& call) {
          return call.kind == kind && call.role == role;
        });
      };
      // The copy gets its name by the call of its way, and the name is
      // looked at, never opened.
      const bool created = !scenario.created.empty();
      SCOPED_TRACE(std::string(scenario.what) + " (" + name_of(way) + ")");
      const Way taken = way_taken(way);
      // The calls the folder does not take come before, where it says so
      // only once tried (renameat2 on FUSE).
      const auto naming = std::find_if(calls.rbegin(), calls.rend(), publishes);
      const char* const NAMED_BY[] = {"link", "link", "rename", "replace"};
      EXPECT_EQ(naming != calls.rend(), created);
      if (created && naming != calls.rend()) {
        EXPECT_EQ(naming->kind, NAMED_BY[static_cast<int>(taken)]);
      }
      EXPECT_FALSE(made("open", "probe"));
      // Flushed before it is named, its folder after.
      const auto first = [&calls](const std::function<bool(const Call&)>& is) {
        return std::find_if(calls.begin(), calls.end(), is) - calls.begin();
      };
      const auto named = first(publishes);
      const auto flushed = first([](const Call& call) { return call.kind == "datasync"; });
      const auto folder = first([](const Call& call) { return call.kind == "fsync"; });
      if (created) {
        EXPECT_LT(flushed, named);
        EXPECT_LT(named, folder);
        EXPECT_LT(folder, static_cast<std::ptrdiff_t>(calls.size()));
      }
      // Every refusal but a failed read or write comes before the first read.
      const bool copies = scenario.message == text::CREATED ||
                          scenario.message == text::READ_FAILED ||
                          scenario.message == text::WRITE_FAILED;
      EXPECT_EQ(made("read", "input"), copies);
      for (std::size_t at = 0; at < calls.size(); ++at) {
        const Call& call = calls[at];
        ++sites;
        for (const std::string& mode : modes_for(call)) {
          ++runs;
          const std::string fault = fault_for(call, mode);
          const bool last_look = call.kind == "lstat" && call.role == "name" &&
                                 call.nth == last_call(calls, "lstat", "name");
          const Outcome expected = expected_outcome(scenario, call, mode, closes_claim(calls, at),
                                                    last_look, looks_to_remove(calls, at));
          if (!holds_with_fault(scenario, way, fault, expected)) ++failures;
        }
      }
    }
  }
  std::cout << "fault injection: " << sites << " call sites in "
            << std::size(WAYS) * SCENARIOS.size() << " runs, " << runs << " faulted runs, "
            << failures << " failures\n";
  EXPECT_EQ(failures, 0);
}

// A read that failed is what the user hears of, even when the write failed
// too: the copy lacks what could not be read either way.
TEST(FaultInjection, AReadAndAWriteFailureReportTheRead) {
  const Scenario& scenario = SCENARIOS[1];
  for (const Way way : WAYS) {
    const std::vector<Call> calls = calls_of_clean_run(scenario, way);
    const std::string faults = "read " + std::to_string(last_call(calls, "read", "input")) +
                               " EIO,write " + std::to_string(last_call(calls, "write", "output")) +
                               " ENOSPC";
    EXPECT_TRUE(holds_with_fault(scenario, way, faults, {text::READ_FAILED, 1, false}));
  }
}

}  // namespace
}  // namespace brmark::testing
