// POSIX: the process, from its start to its end: its standard streams, and
// the signals that end it early, which take a draft not yet published with
// them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

namespace brmark {

namespace {

// What an interrupt removes: while a draft has a name of its own, the
// handler removes it (for under_name only while it still holds the draft,
// as another program may have saved its own file there meanwhile). Written
// only while the guarded signals are blocked, so the handler never sees half
// of it.
constexpr int GUARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
char removal_name[DRAFT_NAME_ROOM];
dev_t removal_device = 0;
ino_t removal_inode = 0;
volatile sig_atomic_t removal_armed = 0;

// Async-signal-safe: lstat, unlink, signal and raise only. The raised signal
// stays blocked until the handler returns, then ends the process with the
// default action, so the parent sees how the program ended. A handler has
// nobody to report a failure to.
void remove_draft_and_end(int signal_number) {
  if (removal_armed != 0) (void)remove_if_same(removal_name, removal_device, removal_inode);
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

// A signal that was ignored when the program started (nohup, a background
// job) stays ignored.
void install_removal_handlers() {
  struct sigaction action {};
  action.sa_handler = remove_draft_and_end;
  sigfillset(&action.sa_mask);
  for (int signal_number : GUARDED_SIGNALS) {
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    if (previous.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

SignalsHeld::SignalsHeld() {
  sigset_t guarded;
  sigemptyset(&guarded);
  for (int signal_number : GUARDED_SIGNALS) sigaddset(&guarded, signal_number);
  sigprocmask(SIG_BLOCK, &guarded, &previous_);
}

SignalsHeld::~SignalsHeld() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void arm_removal(const char* path, int fd) {
  struct stat status {};
  if (std::strlen(path) >= sizeof removal_name || fstat(fd, &status) != 0) return;
  std::memcpy(removal_name, path, std::strlen(path) + 1);
  removal_device = status.st_dev;
  removal_inode = status.st_ino;
  removal_armed = 1;
}

void move_removal(const char* path) {
  if (std::strlen(path) < sizeof removal_name)
    std::memcpy(removal_name, path, std::strlen(path) + 1);
}

void disarm_removal() {
  removal_armed = 0;
}

// Should either fail, the process would end by that signal as before; there
// is nothing better to do about it.
void os_start(TextEncoding /*console_text*/) {
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
  install_removal_handlers();
}

FileHandle os_standard_input() {
  return STDIN_FILENO;
}
FileHandle os_standard_output() {
  return STDOUT_FILENO;
}

bool os_is_terminal(FileHandle handle) {
  return isatty(fd_of(handle)) == 1;
}

void os_exit(int status) {
  std::exit(status);
}

}  // namespace brmark
