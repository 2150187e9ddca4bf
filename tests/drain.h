// Reading a pipe to its end, for tests of the streams and of the program.
#ifndef BRMARK_TESTS_DRAIN_H
#define BRMARK_TESTS_DRAIN_H

#include <unistd.h>

#include <string>

namespace brmark::testing {

// Everything left in a pipe's read end, which is closed afterwards.
inline std::string drain(int fd) {
  std::string bytes;
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof chunk)) > 0) {
    bytes.append(chunk, static_cast<size_t>(count));
  }
  close(fd);
  return bytes;
}

}  // namespace brmark::testing

#endif
