// Running the built program in a temporary folder, and what it should show.
#ifndef BRMARK_TESTS_E2E_SUPPORT_H
#define BRMARK_TESTS_E2E_SUPPORT_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace brmark::testing {

// The test build whose seam picks the way the output is written aside
// (BRMARK_WAY); none under Wine.
#ifndef BRMARK_FAULTY_EXECUTABLE
#define BRMARK_FAULTY_EXECUTABLE ""
#endif

#ifdef BRMARK_TEST_WINE
// The Windows program under test, and the Wine loader of its word size:
// chosen when the tests start (wine_prefix.cpp).
const char* wine_program();
const char* wine_loader();
// The ANSI code page Wine takes from the locale of this run: 932, 1252 or
// 65001.
unsigned wine_code_page();
#define BRMARK_EXECUTABLE ::brmark::testing::wine_program()
#define BRMARK_LAUNCHER ::brmark::testing::wine_loader()
#else
#define BRMARK_LAUNCHER ""
#endif

// A POSIX build without Linux's own calls (BRMARK_LINUX_CALLS=OFF) makes no
// unnamed files and carries no ACLs.
#ifdef BRMARK_TEST_GENERIC_POSIX
constexpr bool LINUX_CALLS = false;
#else
constexpr bool LINUX_CALLS = true;
#endif

// The program under test is a Windows build run by Wine.
#ifdef BRMARK_TEST_WINE
constexpr bool UNDER_WINE = true;
#else
constexpr bool UNDER_WINE = false;
#endif

// The fixed texts, written here in UTF-8 independently of the program's own
// tables; in_build_encoding turns them into what the build under test shows.
namespace text {
constexpr char PROMPT[] = "改行位置に<br>を挿入します。\nファイル名を入力してください。\n";
constexpr char NAME_TOO_LONG[] = "ファイル名が長すぎます。\n";
constexpr char NOT_FOUND[] = "ファイルが存在しません。\n";
constexpr char TARGET_EXISTS[] = "コピー先のファイルは既に存在してます。\n";
constexpr char CREATE_FAILED[] = "コピー先のファイルを作成できませんでした。\n";
constexpr char READ_FAILED[] = "ファイルの読み込みに失敗しました。\n";
constexpr char WRITE_FAILED[] = "ファイルの書き込みに失敗しました。\n";
constexpr char CREATED[] = "ファイルを作成しました。\n";
constexpr char PREFIX[] = "br付き ";
}  // namespace text

// UTF-8 text converted to the encoding the program was built with.
std::string in_build_encoding(const std::string& utf8);
// Every LF as CR LF, as the program stores its line ends.
std::string with_crlf(const std::string& text);
// "{P}" replaced by the output prefix in the build's encoding.
std::string expand_prefix(const std::string& pattern);
// The same, as the name appears in the folder.
std::string file_name(const std::string& pattern);
// The name of the copy of a file whose name is typed_utf8, as it appears in
// the folder, for a name typed at a terminal in UTF-8.
std::string copy_name_of_typed(const std::string& typed_utf8);

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);

// Every entry below root, by relative path: "dir", "link:<target>" or
// "file:<bytes>". Comparing two of them shows any file created, changed or
// removed.
std::map<std::string, std::string> snapshot(const std::string& root);
// The same without the program's own hidden drafts (".brmark-" names),
// which only a run killed outright may leave.
std::map<std::string, std::string> without_drafts(std::map<std::string, std::string> entries);

// A process that a signal ended has this added to the signal's number as its
// status, so that it is never taken for one that called exit(128 + N).
constexpr int BY_SIGNAL = 256;

// The status of a process from what waitpid gave: its exit status (0 to 255),
// or BY_SIGNAL + the signal that ended it.
int status_of(int wait_status);

struct RunResult {
  std::string out;
  std::string err;
  int status;  // as status_of gives it
};

struct RunOptions {
  std::vector<std::string> arguments;
  long file_size_limit = 0;                // RLIMIT_FSIZE in bytes, 0 for none
  bool unprivileged = false;               // run as nobody, in no other group, when the tests
                                           // run as root; the folder is then writable by all
  std::vector<std::string> environment{};  // NAME=value added to the program's
  const char* executable = nullptr;        // nullptr: the program under test (BRMARK_EXECUTABLE)
  const char* launcher = nullptr;          // runs the executable; nullptr: BRMARK_LAUNCHER
  std::vector<int> ignored_signals{};      // ignored when the program starts, as nohup does
  bool output_closed = false;              // nobody reads standard output, as in brmark | true
  int creation_mask = 022;                 // the umask the program starts with
  bool without_proc = false;  // in a mount namespace of its own whose /proc is empty (root only)
};

// Replaces this (child) process with the program, through its launcher and
// with its arguments, as a shell starts it: default signal actions (SIGPIPE
// too, which the tests themselves ignore) but for options.ignored_signals,
// options.creation_mask as its umask, and no core files; exits with 127 when
// it cannot.
[[noreturn]] void exec_brmark(const RunOptions& options);

// A started program: its process and the read ends of its output pipes.
struct Started {
  int pid;
  int out;
  int err;
};

// Starts brmark in folder with its standard input a pipe holding input.
Started start_brmark(const std::string& folder, const std::string& input,
                     const RunOptions& options = {});
// Collects everything the program writes and waits for its end; a program
// still running after a minute is killed and fails the test.
RunResult finish(const Started& started);
RunResult run_brmark(const std::string& folder, const std::string& input,
                     const RunOptions& options = {});

// Something standing in the folder before a run. Names may hold "{P}", the
// output prefix of the build under test. Files are mode 0644.
struct Entry {
  // unreadable: a file that only its owner may write and nobody may read
  // (root excepted, hence RunOptions::unprivileged). private_file: mode 0600;
  // group_writable: mode 0664. other_group: mode 0604, owned by nobody and
  // group disk, which nobody is not in (needs root to lay out).
  // taken_later: a file that another program saves (writes aside, then
  // renames onto the name) while the copy runs, once the program has read all
  // of the FIFO's bytes. endless_fifo: a FIFO
  // whose writer writes its value again and again until the reader goes.
  // acl_file: mode 0640 with an access ACL that shuts the owning group out
  // and lets nobody (65534) read. default_acl: the folder (name "" for the
  // test's own) given a default ACL that lets nobody read and write what is
  // made in it from then on.
  enum Kind {
    file,
    folder,
    link,
    fifo,
    unreadable,
    private_file,
    group_writable,
    other_group,
    taken_later,
    endless_fifo,
    acl_file,
    default_acl
  } kind;
  std::string name;
  // A file's bytes, a link's target, or what a writer puts into a FIFO once
  // the program has started (feed_fifos).
  std::string value;
};

// False when the folder's file system cannot hold the setup: a name it
// does not take, a FIFO, a link, another owner or an ACL.
bool lay_out(const TempDir& dir, const std::vector<Entry>& setup);

// Whether the folder's file system keeps the mode a file is given; FAT,
// exFAT and NTFS without a user mapping show every file alike.
bool keeps_modes(const std::string& folder);

// The access ACL of path as Linux keeps it (its extended attribute's bytes),
// empty where it has none.
std::string access_acl(const std::string& path);

// What the folder's file system takes of what the program prefers: files
// without a name (never, where the program makes none), hard links,
// renaming that never replaces.
bool takes_unnamed_files(const std::string& folder);
bool takes_links(const std::string& folder);
bool takes_no_replace_renames(const std::string& folder);

// Opens the FIFO for writing once a reader has it open, as a producer started
// after the program would; -1 when no reader comes within a few seconds.
int open_fifo_writer(const std::string& path);

// True once the reader has taken every byte written into the FIFO so far;
// false after a few seconds without.
bool drained(int fifo_writer);

// For each FIFO of the setup that has bytes: waits a moment, so that the
// program is already waiting for its writer, then writes them, creates the
// taken_later files once they are read, and closes it. An endless FIFO's
// writer must see its reader go within a few seconds.
void feed_fifos(const TempDir& dir, const std::vector<Entry>& setup);

// One run through pipes and everything it should do.
struct Scenario {
  const char* what;
  std::vector<Entry> setup;
  std::string typed;  // all of standard input; may hold "{P}"
  const char* message;
  int status;
  std::string created{};  // name of the one new file, empty when none may appear
  std::string created_bytes{};
  RunOptions options{};
  int created_mode = 0644;  // the copy's permission bits
};

void PrintTo(const Scenario& scenario, std::ostream* out);

// The status of a program ended by the signal: BY_SIGNAL + its number; under
// Wine, but for SIGKILL, the low byte of STATUS_CONTROL_C_EXIT, with which an
// interrupted Windows program ends.
int status_after(int signal_number);

// All that standard output holds after a run that showed message.
std::string standard_output_for(const char* message);

}  // namespace brmark::testing

#endif
