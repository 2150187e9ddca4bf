// POSIX: the process, from its start to its end: its standard streams, and
// the signals that end it early, which take the output's armed names with
// them.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

namespace brmark {

namespace {

// The signals whose default action ends the process, with a core or
// without, but for SIGKILL, which no handler sees, and SIGPIPE and SIGXFSZ,
// which os_start ignores. The real-time signals, which end it
// too, are added where the set is made: their numbers are known only at run
// time.
constexpr int ENDING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
    SIGXCPU,   SIGABRT, SIGBUS,  SIGFPE,  SIGILL,  SIGSEGV, SIGSYS,  SIGTRAP,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

// What an interrupt removes. Written only while the ending signals are
// blocked, so the handler never sees an entry half written.
struct Removal {
  char name[DRAFT_NAME_ROOM];
  dev_t device;
  ino_t inode;
};
Removal removals[MAX_REMOVALS];
volatile sig_atomic_t removals_armed = 0;
sigset_t ending;
sigset_t held_from;
int hold_depth = 0;

// The handler's own stack, so that a stack overflow (SIGSEGV) cleans up too.
constexpr std::size_t HANDLER_STACK = std::size_t{64} * 1024;
alignas(16) char handler_stack[HANDLER_STACK];

// Async-signal-safe: lstat, unlink, signal and raise only. The raised signal
// stays blocked until the handler returns, then ends the process with the
// default action, core and all, so the parent sees how the program ended; a
// fault (SIGSEGV, SIGBUS...) that recurs on the return does the same. A
// handler has nobody to report a failure to.
void remove_armed_and_end(int signal_number) {
  for (int at = 0; at < removals_armed; ++at) {
    (void)remove_if_same(removals[at].name, removals[at].device, removals[at].inode);
  }
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

void make_ending_set() {
  sigemptyset(&ending);
  for (int signal_number : ENDING_SIGNALS) sigaddset(&ending, signal_number);
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    sigaddset(&ending, signal_number);
  }
#endif
}

// A signal that was ignored when the program started (nohup, a background
// job) stays ignored, and leaves the set: held, it would still be pending.
void install_removal_handlers() {
  stack_t stack{};
  stack.ss_sp = handler_stack;
  stack.ss_size = sizeof handler_stack;
  (void)sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = remove_armed_and_end;
  action.sa_flags = SA_ONSTACK;
  sigfillset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&ending, signal_number) != 1) continue;
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) {
      (void)sigdelset(&ending, signal_number);
    } else {
      (void)sigaction(signal_number, &action, nullptr);
    }
  }
}

}  // namespace

bool remove_if_same(const char* path, dev_t device, ino_t inode) {
  struct stat status {};
  if (lstat(path, &status) != 0) return errno == ENOENT;
  if (status.st_dev != device || status.st_ino != inode) return true;
  return unlink(path) == 0 || errno == ENOENT;
}

void os_hold_interrupts() {
  if (hold_depth++ > 0) return;
  sigprocmask(SIG_BLOCK, &ending, &held_from);
}

bool os_interrupt_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&ending, signal_number) == 1 && sigismember(&pending, signal_number) == 1) {
      return true;
    }
  }
  return false;
}

void os_release_interrupts() {
  if (--hold_depth == 0) sigprocmask(SIG_SETMASK, &held_from, nullptr);
}

// A name too long to keep is one no file of ours has: nothing to remove.
void os_arm_removal(const FileName& name, FileHandle /*handle*/, const FileIdentity& identity) {
  const std::size_t length = std::strlen(name.bytes);
  if (removals_armed == MAX_REMOVALS || length >= DRAFT_NAME_ROOM) return;
  Removal& removal = removals[removals_armed];
  std::memcpy(removal.name, name.bytes, length + 1);
  removal.device = static_cast<dev_t>(identity.volume);
  removal.inode = static_cast<ino_t>(identity.file[0]);
  removals_armed = removals_armed + 1;
}

bool os_disarm_removals() {
  removals_armed = 0;
  return true;
}

// Should either fail, the process would end by that signal as before; there
// is nothing better to do about it.
void os_start(TextEncoding /*console_text*/) {
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
  make_ending_set();
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
