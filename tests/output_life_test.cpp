// The output's life against a folder in memory: each naming call taken
// where the folder takes none before it, each step failing, names taken or
// replaced meanwhile. Whatever happens, the folder ends holding the copy under its
// name or nothing of it, and another program's file is never touched.
#include "conversion/output_life.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "conversion/text_stream.h"
#include "support/memory_platform.h"

namespace brmark {
namespace {

using memory::Call;
using memory::FileAt;

const char OUT[] = "dir/out";
// Another program's file; THEIRS_ALIKE has the unnamed draft's number, on
// another volume.
constexpr FileAt THEIRS{7, 900};
constexpr FileAt THEIRS_ALIKE{2, 1};

struct Fault {
  Call call;
  int nth;
  NameResult result = NameResult::failed;
};
struct Act {
  Call call;
  int nth;
  std::string name;
  FileAt file = THEIRS;
  bool put = true;
};

struct LifeCase {
  const char* what;
  std::vector<Call> unsupported;
  std::vector<Fault> faults;
  std::vector<Act> acts;
  OutputResult opened;
  bool hidden;  // drafted as a hidden file, else as an unnamed one
  OutputResult kept;
  bool theirs_at_out = false;  // else the copy at OUT after success, nothing after failure
  bool renumbering = false;    // a renamed file gets a new number, as on FAT
};

void PrintTo(const LifeCase& c, std::ostream* out) {
  *out << c.what;
}

const std::vector<Call> NO_UNNAMED = {Call::unnamed};
const std::vector<Call> NO_LINKS = {Call::unnamed, Call::link};
const std::vector<Call> NO_NEW_RENAMES = {Call::unnamed, Call::link, Call::rename_new};
const std::vector<Call> NOTHING = {Call::unnamed, Call::link, Call::rename_new, Call::rename_over};
constexpr auto DONE = OutputResult::done;
constexpr auto FAILED = OutputResult::failed;
constexpr auto TAKEN = OutputResult::name_taken;
constexpr auto LOST = OutputResult::not_stored;

const LifeCase CASES[] = {
    // The draft, and the naming calls tried in turn where the folder takes
    // none of those before.
    {"unnamed", {}, {}, {}, DONE, false, DONE},
    {"aside, linked", NO_UNNAMED, {}, {}, DONE, true, DONE},
    {"aside, renamed", NO_LINKS, {}, {}, DONE, true, DONE},
    {"aside, renamed over a claim", NO_NEW_RENAMES, {}, {}, DONE, true, DONE},
    {"aside, no naming call taken", NOTHING, {}, {}, DONE, true, FAILED},
    {"renamed where a rename renumbers the file", NO_LINKS, {}, {}, DONE, true, DONE, false, true},
    {"the unnamed file fails", {}, {{Call::unnamed, 1}}, {}, FAILED, false, FAILED},
    {"a hidden name taken by chance",
     NO_UNNAMED,
     {{Call::create, 1, NameResult::taken}},
     {},
     DONE,
     true,
     DONE},
    // Each step of keeping it failing.
    {"the flush fails", {}, {{Call::flush, 1}}, {}, DONE, false, LOST},
    {"the aside flush fails", NO_UNNAMED, {{Call::flush, 1}}, {}, DONE, true, LOST},
    {"publishing fails", NO_UNNAMED, {{Call::link, 1}}, {}, DONE, true, FAILED},
    {"the rename fails", NO_LINKS, {{Call::rename_new, 1}}, {}, DONE, true, FAILED},
    {"the rename over the claim fails",
     NO_NEW_RENAMES,
     {{Call::rename_over, 1}},
     {},
     DONE,
     true,
     FAILED},
    {"the close fails", {}, {{Call::close, 1}}, {}, DONE, false, LOST},
    {"the aside close fails", NO_LINKS, {{Call::close, 1}}, {}, DONE, true, LOST},
    {"the folder flush fails", NO_UNNAMED, {{Call::flush_folder, 1}}, {}, DONE, true, LOST},
    {"the mark cannot be taken back", NO_LINKS, {{Call::disarm, 2}}, {}, DONE, true, LOST},
    // Another program at work in the folder.
    {"the name taken before publishing", {}, {}, {{Call::link, 1, OUT}}, DONE, false, TAKEN, true},
    {"the name taken before the claim",
     NO_NEW_RENAMES,
     {},
     {{Call::create, 2, OUT}},
     DONE,
     true,
     TAKEN,
     true},
    {"the claim replaced before it is checked",
     NO_NEW_RENAMES,
     {},
     {{Call::close, 1, OUT}},
     DONE,
     true,
     TAKEN,
     true},
    {"the copy replaced before its close",
     {},
     {},
     {{Call::close, 1, OUT}},
     DONE,
     false,
     LOST,
     true},
    {"a file alike on another volume replaces the copy",
     {},
     {},
     {{Call::close, 1, OUT, THEIRS_ALIKE}},
     DONE,
     false,
     LOST,
     true},
    {"the copy removed before its close",
     NO_LINKS,
     {},
     {{Call::close, 1, OUT, THEIRS, false}},
     DONE,
     true,
     LOST},
};

// The draft's hidden names: what the folder holds whose last part begins so.
std::vector<std::string> hidden_names() {
  std::vector<std::string> hidden;
  for (const auto& [name, file] : memory::folder()) {
    if (name.rfind("dir/.brmark-", 0) == 0) hidden.push_back(name);
  }
  return hidden;
}

class Life : public ::testing::TestWithParam<LifeCase> {};

TEST_P(Life, EndsWithTheWholeCopyOrNothingOfIt) {
  const LifeCase& c = GetParam();
  memory::reset_folder(c.unsupported, c.renumbering);
  for (const Fault& fault : c.faults) memory::fail_call(fault.call, fault.nth, fault.result);
  for (const Act& act : c.acts) memory::act_before(act.call, act.nth, act.name, act.file, act.put);
  const FileName name{OUT, nullptr};
  FileHandle handle = 0;
  const OutputResult opened = open_output(name, 0, &handle);
  ASSERT_EQ(opened, c.opened);
  if (opened == DONE) {
    // An interrupt now removes the draft's own name, and only that.
    const std::vector<std::string> hidden = hidden_names();
    EXPECT_EQ(memory::armed(), hidden);
    EXPECT_EQ(hidden.size(), c.hidden ? 1U : 0U);
    EXPECT_EQ(keep_output(name), c.kept);
    (void)discard_output(name);
  }
  EXPECT_EQ(memory::armed(), std::vector<std::string>{});
  EXPECT_EQ(hidden_names(), std::vector<std::string>{});
  const auto& folder = memory::folder();
  const bool copy_kept = opened == DONE && c.kept == DONE;
  ASSERT_EQ(folder.count(OUT), c.theirs_at_out || copy_kept ? 1U : 0U);
  if (c.theirs_at_out) {
    EXPECT_EQ(folder.at(OUT), c.acts.back().file);
  } else if (copy_kept) {
    EXPECT_EQ(folder.at(OUT).volume, 1U);
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, Life, ::testing::ValuesIn(CASES), testing::case_name<LifeCase>);

// Written through the output stream, the copy is handed to storage a whole
// step at a time as it goes; the flush before it is named still decides.
struct StoringCase {
  const char* what;
  std::size_t bytes;
  std::vector<Fault> faults;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> asked;
  OutputResult kept;
};

void PrintTo(const StoringCase& c, std::ostream* out) {
  *out << c.what;
}

constexpr std::uint64_t STEP = STORING_STEP;
const StoringCase STORING_CASES[] = {
    {"less than a step asks for nothing", 100000, {}, {}, DONE},
    {"each whole step is asked for once",
     7 * STEP / 2,
     {},
     {{0, STEP}, {STEP, STEP}, {2 * STEP, STEP}},
     DONE},
    {"a failed write asks for nothing more", 7 * STEP / 2, {{Call::write, 8}}, {}, DONE},
    {"a flush that fails after the asks keeps nothing",
     3 * STEP,
     {{Call::flush, 1}},
     {{0, STEP}, {STEP, STEP}, {2 * STEP, STEP}},
     LOST},
};

class Storing : public ::testing::TestWithParam<StoringCase> {};

TEST_P(Storing, AsksForEachWholeStepWritten) {
  const StoringCase& c = GetParam();
  memory::reset_folder();
  for (const Fault& fault : c.faults) memory::fail_call(fault.call, fault.nth, fault.result);
  const FileName name{OUT, nullptr};
  OutputResult created = FAILED;
  TextStream* output = create_text_write(name, 0, &created);
  ASSERT_NE(output, nullptr);
  for (std::size_t at = 0; at < c.bytes; ++at) write_char(output, 'x');
  close_all_files();
  EXPECT_EQ(memory::storing(), c.asked);
  EXPECT_EQ(keep_output(name), c.kept);
  (void)discard_output(name);
  EXPECT_EQ(memory::folder().count(OUT), c.kept == DONE ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Steps, Storing, ::testing::ValuesIn(STORING_CASES),
                         testing::case_name<StoringCase>);

}  // namespace
}  // namespace brmark
