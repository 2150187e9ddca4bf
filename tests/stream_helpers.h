// Pipes that hold given bytes, for driving text streams with buffers of any size.
#ifndef BRMARK_TESTS_STREAM_HELPERS_H
#define BRMARK_TESTS_STREAM_HELPERS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "conversion/text_stream.h"
#include "drain.h"

namespace brmark::testing {

// The read end of a pipe that holds bytes and then ends; made large enough
// to hold them all.
inline FileHandle pipe_holding(const std::string& bytes) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  if (bytes.size() > 65536) {
    EXPECT_GT(fcntl(ends[1], F_SETPIPE_SZ, bytes.size()), 0);
  }
  EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(ends[1]);
  return ends[0];
}

// Buffer sizes that put refill and flush boundaries everywhere in a short
// text, plus the program's own.
constexpr std::size_t BUFFER_SIZES[] = {1, 2, 3, 5, FILE_BUFFER_SIZE};

}  // namespace brmark::testing

#endif
