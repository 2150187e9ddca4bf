// The whole program driven through pipes, as a script would run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "case_name.h"
#include "e2e_support.h"

namespace brmark::testing {
namespace {

const std::string NAME_246(246, 'n');
const std::string SJIS_124 = [] {
  std::string name;
  for (int i = 0; i < 124; ++i) name += "\x82\xa0";  // あ
  return name;
}();
// The CR ends the first fill of the program's 128 KiB file buffer, its LF
// begins the second.
constexpr std::size_t FILE_BUFFER = 128 * 1024;
const std::string BOUNDARY_INPUT =
    std::string(FILE_BUFFER - 1, 'a') + "\r\n" + std::string(4094, 'b') + "\r";
const std::string BOUNDARY_OUTPUT =
    std::string(FILE_BUFFER - 1, 'a') + "<br>\r\n" + std::string(4094, 'b') + "\r";
std::string repeated(const std::string& text, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
}

const std::string MANY_LINES = repeated("line\n", 4000);

RunOptions output_closed() {
  RunOptions options;
  options.output_closed = true;
  return options;
}
// The test build, with another program's file put at the name between the
// program's look at it and its create.
RunOptions name_taken_before_create() {
  RunOptions options;
  options.executable = BRMARK_FAULTY_EXECUTABLE;
  options.environment = {"BRMARK_TAKE_NAME={P}memo.txt"};
  return options;
}

// The test build, with another program saving its file at the name just
// before the copy's last close.
RunOptions name_saved_at_close() {
  RunOptions options;
  options.executable = BRMARK_FAULTY_EXECUTABLE;
  options.environment = {"BRMARK_SAVE_AT_CLOSE={P}memo.txt"};
  return options;
}

RunOptions unprivileged() {
  RunOptions options;
  options.unprivileged = true;
  return options;
}

RunOptions umask_002() {
  RunOptions options;
  options.creation_mask = 002;
  return options;
}
// About four file buffers, and far more than a pipe holds.
const int FEED_LINES = 80000;

const std::vector<Scenario> CASES = {
    // Created.
    {"typical run",
     {{Entry::file, "memo.txt", "one\r\ntwo\r\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "one<br>\r\ntwo<br>\r\n"},
    {"name line ends in CR LF",
     {{Entry::file, "memo.txt", "a\nb"}},
     "memo.txt\r\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\nb"},
    {"name without a line end",
     {{Entry::file, "memo.txt", "a\n"}},
     "memo.txt",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n"},
    {"arguments are ignored",
     {{Entry::file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     {{"--help", "other.txt"}}},
    {"spaces stay in the name",
     {{Entry::file, " memo.txt ", "a\n"}},
     " memo.txt \n",
     text::CREATED,
     0,
     "{P} memo.txt ",
     "a<br>\r\n"},
    {"inner spaces stay in the name",
     {{Entry::file, " my  memo.txt", "a\n"}},
     " my  memo.txt\n",
     text::CREATED,
     0,
     "{P} my  memo.txt",
     "a<br>\r\n"},
    {"Shift-JIS name",
     {{Entry::file, "\x82\xa0.txt", "\x82\xa0\n"}},
     "\x82\xa0.txt\n",
     text::CREATED,
     0,
     "{P}\x82\xa0.txt",
     "\x82\xa0<br>\r\n"},
    {"name already prefixed",
     {{Entry::file, "{P}a.txt", "a"}},
     "{P}a.txt\n",
     text::CREATED,
     0,
     "{P}{P}a.txt",
     "a"},
    {"prefixed folder exists",
     {{Entry::folder, "docs", ""},
      {Entry::folder, "{P}docs", ""},
      {Entry::file, "docs/a.txt", "x\n"}},
     "docs/a.txt\n",
     text::CREATED,
     0,
     "{P}docs/a.txt",
     "x<br>\r\n"},
    {"name of 248 bytes",
     {{Entry::folder, "d", ""}, {Entry::folder, "{P}d", ""}, {Entry::file, "d/" + NAME_246, "x"}},
     "d/" + NAME_246 + "\n",
     text::CREATED,
     0,
     "{P}d/" + NAME_246,
     "x"},
    {"empty file gives an empty copy",
     {{Entry::file, "e", ""}},
     "e\n",
     text::CREATED,
     0,
     "{P}e",
     ""},
    {"bytes pass unchanged",
     {{Entry::file, "b", std::string("\0\xff\r\x82\xa0\r\r\n", 8)}},
     "b\n",
     text::CREATED,
     0,
     "{P}b",
     std::string("\0\xff\r\x82\xa0\r<br>\r\n", 12)},
    {"SUB ends the input",
     {{Entry::file, "s",
       "a\n\x1a"
       "b\n"}},
     "s\n",
     text::CREATED,
     0,
     "{P}s",
     "a<br>\r\n"},
    {"CR LF split between buffer fills",
     {{Entry::file, "big", BOUNDARY_INPUT}},
     "big\n",
     text::CREATED,
     0,
     "{P}big",
     BOUNDARY_OUTPUT},
    // The producer starts after the program, as with a named pipe between two
    // programs, and writes more than a pipe and a file buffer hold.
    {"FIFO input is read from its writer",
     {{Entry::fifo, "feed", repeated("line\r\n", FEED_LINES) + BOUNDARY_INPUT}},
     "feed\n",
     text::CREATED,
     0,
     "{P}feed",
     repeated("line<br>\r\n", FEED_LINES) + BOUNDARY_OUTPUT},
    {"a private input gives a private copy",
     {{Entry::private_file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     {},
     0600},
    // Others may write the input; only its owner writes the copy, whatever the umask allows.
    {"a group-writable input under umask 002 gives a copy only its owner writes",
     {{Entry::group_writable, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     umask_002(),
     0644},
    // Copied by someone not in the input's group: that group's members, whom
    // the input shuts out, must not read the copy as others.
    {"an input of a group the user is not in gives a copy only its owner reads",
     {{Entry::other_group, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     unprivileged(),
     0600},
    // An ACL that shuts the input's own group out shuts it out of the copy.
    {"an input's ACL is the copy's",
     {{Entry::acl_file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     {},
     0640},
    // Whom the folder's default ACL lets read what is made in it, the input
    // did not let read.
    {"a folder's default ACL gives the copy no reader the input lacks",
     {{Entry::private_file, "memo.txt", "a\n"}, {Entry::default_acl, "", ""}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     {},
     0600},
    // Messages nobody reads are lost; the copy and the status are not.
    {"nobody reads standard output",
     {{Entry::file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::CREATED,
     0,
     "{P}memo.txt",
     "a<br>\r\n",
     output_closed()},
    // Refused before anything is opened.
    {"no input at all", {}, "", text::NOT_FOUND, 1},
    {"empty name", {}, "\n", text::NOT_FOUND, 1},
    // No file's name holds a NUL: the name is not the part before it.
    {"a NUL in the name",
     {{Entry::file, "memo.txt", "a\n"}},
     std::string("memo.txt\0.bak\n", 14),
     text::NOT_FOUND,
     1},
    {"name of 249 bytes", {}, "d/" + NAME_246 + "x\n", text::NAME_TOO_LONG, 1},
    {"name of 259 bytes", {}, std::string(259, 'n') + "\n", text::NAME_TOO_LONG, 1},
    {"name of 300 bytes", {}, std::string(300, 'n') + "\n", text::NAME_TOO_LONG, 1},
    {"124 double-byte characters pass the length test", {}, SJIS_124 + "\n", text::NOT_FOUND, 1},
    {"125 double-byte characters", {}, SJIS_124 + "\x82\xa0\n", text::NAME_TOO_LONG, 1},
    // Refused at the file tests.
    {"missing input", {}, "memo.txt\n", text::NOT_FOUND, 1},
    {"CR kept in the name", {{Entry::file, "memo.txt", "a"}}, "memo.txt\r\r\n", text::NOT_FOUND, 1},
    {"input is a folder", {{Entry::folder, "memo.txt", ""}}, "memo.txt\n", text::NOT_FOUND, 1},
    {"missing input, existing target",
     {{Entry::file, "{P}memo.txt", "keep"}},
     "memo.txt\n",
     text::NOT_FOUND,
     1},
    {"empty target exists",
     {{Entry::file, "a", "x"}, {Entry::file, "{P}a", ""}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    {"target exists",
     {{Entry::file, "a", "x"}, {Entry::file, "{P}a", "keep\n"}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    {"target is a folder",
     {{Entry::file, "a", "x"}, {Entry::folder, "{P}a", ""}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    {"target is a FIFO without a writer",
     {{Entry::file, "a", "x"}, {Entry::fifo, "{P}a", ""}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    // The copy takes the name only once whole, and never from another program.
    {"a file put at the name just before the create is left alone",
     {{Entry::file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::TARGET_EXISTS,
     1,
     "{P}memo.txt",
     "theirs\n",
     name_taken_before_create()},
    {"a file saved at the name as the copy closes is never reported as the copy",
     {{Entry::file, "memo.txt", "a\n"}},
     "memo.txt\n",
     text::WRITE_FAILED,
     1,
     "{P}memo.txt",
     "theirs\n",
     name_saved_at_close()},
    {"name taken by another program while the copy runs",
     {{Entry::fifo, "feed", "a\n"}, {Entry::taken_later, "{P}feed", "theirs\n"}},
     "feed\n",
     text::TARGET_EXISTS,
     1},
    {"target is a dangling link",
     {{Entry::file, "a", "x"}, {Entry::link, "{P}a", "elsewhere"}},
     "a\n",
     text::TARGET_EXISTS,
     1},
    // Exclusive creation keeps it whole even though the probe cannot open it.
    {"target exists but cannot be read",
     {{Entry::file, "a", "x"}, {Entry::unreadable, "{P}a", "keep"}},
     "a\n",
     text::TARGET_EXISTS,
     1,
     "",
     "",
     {{}, 0, true}},
    {"prefixed folder missing",
     {{Entry::folder, "docs", ""}, {Entry::file, "docs/a.txt", "x"}},
     "docs/a.txt\n",
     text::CREATE_FAILED,
     1},
    // Failures during the copy leave nothing behind.
    {"read error", {{Entry::link, "mem", "/proc/self/mem"}}, "mem\n", text::READ_FAILED, 1},
    {"over a file-size limit",
     {{Entry::file, "many", MANY_LINES}},
     "many\n",
     text::WRITE_FAILED,
     1,
     "",
     "",
     {{}, 4096}},
    {"a failed write ends the reading of an endless input",
     {{Entry::endless_fifo, "feed", MANY_LINES}},
     "feed\n",
     text::WRITE_FAILED,
     1,
     "",
     "",
     {{}, 4096}},
};

// Windows has no symbolic links, FIFOs or permission bits of the POSIX kind,
// and drops a space or dot from the end of a name; under Wine such cases
// would test Wine rather than the program, and the test build with its seam
// is a POSIX one.
[[maybe_unused]] bool needs_posix(const Scenario& c) {
  if (c.options.executable != nullptr) return true;
  for (const Entry& entry : c.setup) {
    if (entry.kind != Entry::file && entry.kind != Entry::folder) return true;
    if (entry.name.back() == ' ' || entry.name.back() == '.') return true;
  }
  return false;
}

// The program writes its output aside its own way; the test build's seam
// makes it take each of the others, so that every case holds on each.
#ifdef BRMARK_TEST_WINE
const char* const WAYS[] = {""};
#else
const char* const WAYS[] = {"", "link", "rename", "claim"};
#endif

// The options of a case, run the given way, with "{P}" expanded in the
// environment.
RunOptions options_for(const Scenario& c, const std::string& way) {
  RunOptions options = c.options;
  for (std::string& variable : options.environment) variable = expand_prefix(variable);
  if (way.empty()) return options;
  if (options.executable == nullptr) options.executable = BRMARK_FAULTY_EXECUTABLE;
  options.environment.push_back("BRMARK_WAY=" + way);
  return options;
}

class ThroughPipes : public ::testing::TestWithParam<std::tuple<Scenario, const char*>> {};

TEST_P(ThroughPipes, ShowsOneMessageAndChangesOnlyTheNewFile) {
  const Scenario& c = std::get<0>(GetParam());
  const std::string way = std::get<1>(GetParam());
  SCOPED_TRACE(c.what + (way.empty() ? "" : " (" + way + ")"));
#ifdef BRMARK_TEST_WINE
  if (needs_posix(c)) GTEST_SKIP() << "needs a POSIX file system object or file name";
  const std::string typed = expand_prefix(c.typed);
  if (wine_code_page() != 932 && !std::all_of(typed.begin(), typed.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80;
      })) {
    GTEST_SKIP() << "the name is typed in code page 932";
  }
#endif
  const bool needs_root = std::any_of(c.setup.begin(), c.setup.end(), [](const Entry& entry) {
    return entry.kind == Entry::other_group;
  });
  if (needs_root && geteuid() != 0) GTEST_SKIP() << "laying out a file of another owner needs root";
  TempDir dir;
  if (!lay_out(dir, c.setup)) GTEST_SKIP() << "this file system cannot hold the setup";
  std::map<std::string, std::string> expected = snapshot(dir.path());
  if (!c.created.empty()) expected[file_name(c.created)] = "file:" + c.created_bytes;
  for (const Entry& entry : c.setup) {
    if (entry.kind == Entry::taken_later) expected[file_name(entry.name)] = "file:" + entry.value;
  }

  const Started started = start_brmark(dir.path(), expand_prefix(c.typed), options_for(c, way));
  feed_fifos(dir, c.setup);
  const RunResult result = finish(started);

  EXPECT_EQ(result.out, c.options.output_closed ? "" : standard_output_for(c.message));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(snapshot(dir.path()), expected);
  // Windows gives a new file the folder's permissions, not bits of its own.
  // The copy has the input's ACL, or none where the input has none. Where
  // the file system shows every file alike, the copy is shown as the input.
  if (!c.created.empty() && !UNDER_WINE && c.status == 0) {
    const std::string copy = dir / file_name(c.created);
    const std::string typed_name = expand_prefix(c.typed);
    const std::string input = dir / typed_name.substr(0, typed_name.find_first_of("\r\n"));
    const int mode = keeps_modes(dir.path())
                         ? c.created_mode
                         : static_cast<int>(std::filesystem::status(input).permissions());
    EXPECT_EQ(static_cast<int>(std::filesystem::status(copy).permissions()), mode);
    EXPECT_EQ(access_acl(copy), access_acl(input));
  }
}

#ifdef BRMARK_TEST_WINE
// A colon in the output name would name a stream of another file on NTFS:
// "Z:memo.txt" opens memo.txt in the current folder of drive Z, and its copy
// would be a stream of "br付き Z".
const std::vector<Scenario> WINDOWS_NAME_CASES = {
    {"a drive letter in the typed name",
     {{Entry::file, "memo.txt", "a\n"}},
     "Z:memo.txt\n",
     text::CREATE_FAILED,
     1},
    {"a stream of a file whose copy exists",
     {{Entry::file, "memo.txt", "a\n"}, {Entry::file, "{P}memo.txt", "keep"}},
     "memo.txt:x\n",
     text::NOT_FOUND,
     1},
};
#endif

// Reads from fd until what it gave holds text; false after ten seconds.
bool reads_until(int fd, const std::string& text, std::string* got) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got->find(text) == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[512];
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count <= 0) return false;
    got->append(chunk, static_cast<size_t>(count));
  }
  return true;
}

// A program driving brmark through pipes sees the prompt before it sends the
// name, and the outcome before it sends the closing Enter.
TEST(ThroughPipes, ThePromptAndTheOutcomeComeBeforeTheirAnswers) {
  TempDir dir;
  write_file(dir / "memo.txt", "a\n");
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(in[0], 0);
    dup2(out[1], 1);
    exec_brmark({});
  }
  close(in[0]);
  close(out[1]);
  std::string shown;
  EXPECT_TRUE(reads_until(out[0], standard_output_for(""), &shown)) << "no prompt: " << shown;
  EXPECT_EQ(write(in[1], "memo.txt\n", 9), 9);
  EXPECT_TRUE(reads_until(out[0], standard_output_for(text::CREATED), &shown))
      << "no outcome: " << shown;
  EXPECT_EQ(write(in[1], "\n", 1), 1);
  close(in[1]);
  close(out[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status_of(status), 0);
}

std::string case_and_way(const ::testing::TestParamInfo<ThroughPipes::ParamType>& info) {
  const std::string way = std::get<1>(info.param);
  return case_name(::testing::TestParamInfo<Scenario>(std::get<0>(info.param), info.index)) +
         (way.empty() ? "" : "_" + way);
}

INSTANTIATE_TEST_SUITE_P(Cases, ThroughPipes,
                         ::testing::Combine(::testing::ValuesIn(CASES), ::testing::ValuesIn(WAYS)),
                         case_and_way);
#ifdef BRMARK_TEST_WINE
INSTANTIATE_TEST_SUITE_P(WindowsNames, ThroughPipes,
                         ::testing::Combine(::testing::ValuesIn(WINDOWS_NAME_CASES),
                                            ::testing::ValuesIn(WAYS)),
                         case_and_way);
#endif

}  // namespace
}  // namespace brmark::testing
