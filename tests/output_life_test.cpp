// The output's life against a folder in memory: each way taken where the
// better ones are missing, each step failing, names taken or replaced
// meanwhile. Whatever happens, the folder ends holding the copy under its
// name or nothing of it, and another program's file is never touched.
#include "conversion/output_life.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "support/memory_platform.h"

namespace brmark {
namespace {

using memory::Call;
using memory::FileAt;

const char OUT[] = "dir/out";
// Another program's file; THEIRS_ALIKE has the number that the guarded
// draft gets (after the four files of the ways tried before it), on another
// volume.
constexpr FileAt THEIRS{7, 900};
constexpr FileAt THEIRS_ALIKE{2, 5};

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
  DraftWay way;
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
    // The ways, best first.
    {"unnamed", {}, {}, {}, DONE, DraftWay::unnamed, DONE},
    {"aside, linked", NO_UNNAMED, {}, {}, DONE, DraftWay::aside_link, DONE},
    {"aside, renamed", NO_LINKS, {}, {}, DONE, DraftWay::aside_rename, DONE},
    {"aside, renamed over a claim", NO_NEW_RENAMES, {}, {}, DONE, DraftWay::aside_claim, DONE},
    {"guarded", NOTHING, {}, {}, DONE, DraftWay::guarded, DONE},
    {"renamed where a rename renumbers the file",
     NO_LINKS,
     {},
     {},
     DONE,
     DraftWay::aside_rename,
     DONE,
     false,
     true},
    // A way is given up only where the folder does not take its call.
    {"the link probe fails",
     NO_UNNAMED,
     {{Call::link, 1}},
     {},
     FAILED,
     DraftWay::aside_link,
     FAILED},
    {"the rename probe fails",
     NO_LINKS,
     {{Call::rename_new, 1}},
     {},
     FAILED,
     DraftWay::aside_rename,
     FAILED},
    {"the claim probe fails",
     NO_NEW_RENAMES,
     {{Call::rename_over, 1}},
     {},
     FAILED,
     DraftWay::aside_claim,
     FAILED},
    {"the unnamed file fails", {}, {{Call::unnamed, 1}}, {}, FAILED, DraftWay::unnamed, FAILED},
    {"a probe's name taken by chance",
     NO_UNNAMED,
     {{Call::link, 1, NameResult::taken}},
     {},
     DONE,
     DraftWay::aside_link,
     DONE},
    // Each step of keeping it failing.
    {"the flush fails", {}, {{Call::flush, 1}}, {}, DONE, DraftWay::unnamed, LOST},
    {"the aside flush fails", NO_UNNAMED, {{Call::flush, 1}}, {}, DONE, DraftWay::aside_link, LOST},
    {"publishing fails", NO_UNNAMED, {{Call::link, 2}}, {}, DONE, DraftWay::aside_link, FAILED},
    {"the rename fails",
     NO_LINKS,
     {{Call::rename_new, 2}},
     {},
     DONE,
     DraftWay::aside_rename,
     FAILED},
    {"the rename over the claim fails",
     NO_NEW_RENAMES,
     {{Call::rename_over, 2}},
     {},
     DONE,
     DraftWay::aside_claim,
     FAILED},
    {"the close fails", {}, {{Call::close, 1}}, {}, DONE, DraftWay::unnamed, LOST},
    {"the aside close fails", NO_LINKS, {{Call::close, 2}}, {}, DONE, DraftWay::aside_rename, LOST},
    {"the folder flush fails",
     NO_UNNAMED,
     {{Call::flush_folder, 1}},
     {},
     DONE,
     DraftWay::aside_link,
     LOST},
    {"the mark cannot be taken back",
     NO_LINKS,
     {{Call::disarm, 4}},
     {},
     DONE,
     DraftWay::aside_rename,
     LOST},
    // Another program at work in the folder.
    {"the name taken before publishing",
     {},
     {},
     {{Call::link, 1, OUT}},
     DONE,
     DraftWay::unnamed,
     TAKEN,
     true},
    {"the name taken before the claim",
     NO_NEW_RENAMES,
     {},
     {{Call::create, 5, OUT}},
     DONE,
     DraftWay::aside_claim,
     TAKEN,
     true},
    {"the claim replaced before it is checked",
     NO_NEW_RENAMES,
     {},
     {{Call::close, 4, OUT}},
     DONE,
     DraftWay::aside_claim,
     TAKEN,
     true},
    {"the copy replaced before its close",
     {},
     {},
     {{Call::close, 1, OUT}},
     DONE,
     DraftWay::unnamed,
     LOST,
     true},
    {"the copy removed before its close",
     NO_LINKS,
     {},
     {{Call::close, 2, OUT, THEIRS, false}},
     DONE,
     DraftWay::aside_rename,
     LOST},
    {"a file alike on another volume replaces the guarded draft",
     NOTHING,
     {},
     {{Call::flush, 1, OUT, THEIRS_ALIKE}},
     DONE,
     DraftWay::guarded,
     TAKEN,
     true},
    {"the guarded draft removed meanwhile",
     NOTHING,
     {},
     {{Call::flush, 1, OUT, THEIRS, false}},
     DONE,
     DraftWay::guarded,
     FAILED},
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
  EXPECT_EQ(output_way(), c.way);
  if (opened == DONE) {
    // An interrupt now removes the draft's own name, and only that.
    const std::vector<std::string> hidden = hidden_names();
    std::vector<std::string> armed = hidden;
    if (c.way == DraftWay::guarded) armed = {OUT};
    EXPECT_EQ(memory::armed(), armed);
    EXPECT_EQ(hidden.size(), c.way == DraftWay::unnamed || c.way == DraftWay::guarded ? 0U : 1U);
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

}  // namespace
}  // namespace brmark
