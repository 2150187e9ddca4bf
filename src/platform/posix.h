// What the POSIX files of the platform layer offer each other: the files
// (posix_files.cpp) and the process with its signals (posix_process.cpp).
// Included only by them.
#ifndef BRMARK_PLATFORM_POSIX_H
#define BRMARK_PLATFORM_POSIX_H

#include <signal.h>
#include <sys/types.h>

#include "platform/platform.h"

namespace brmark {

inline int fd_of(FileHandle handle) {
  return static_cast<int>(handle);
}

// Blocks the signals that remove a draft (SIGINT, SIGTERM, SIGHUP, SIGQUIT)
// for as long as it lives, so that the handler never sees a draft half made
// or half named.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// With the signals held: from now on those signals remove path, while it is
// the file fd is, before the process ends by them.
void arm_removal(const char* path, int fd);
// With the signals held: the armed file is now called path.
void move_removal(const char* path);
// They remove nothing any more.
void disarm_removal();

// Removes path while it is the file device and inode name, and says whether
// nothing of that file is left under it. Async-signal-safe.
bool remove_if_same(const char* path, dev_t device, ino_t inode);

}  // namespace brmark

#endif
