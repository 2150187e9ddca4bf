// The floor for brmark's throughput: what its system calls and kernel copies
// cost with no transform at all. Reads the input in brmark's pieces
// (WRITE_PIECE) and writes exactly as many bytes as brmark's output holds, in
// the same pieces, to a file it creates as brmark does. The bytes written are the
// input's own, repeated where the output is the longer: their values do not
// matter, their count and the calls do. With --flush it also flushes the
// output to storage before its close and its folder after, as brmark does.
//
//     floor_copy INPUT OUTPUT OUTPUT_SIZE [--flush]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr long long PIECE = static_cast<long long>(brmark::WRITE_PIECE);
alignas(4096) unsigned char buffer[PIECE];

bool write_piece(int fd, long long size) {
  for (long long done = 0; done < size;) {
    const ssize_t count = write(fd, buffer + done, static_cast<size_t>(size - done));
    if (count <= 0) return false;
    done += count;
  }
  return true;
}

// Writes whole pieces while the output lags the input's share of it, as
// brmark's output buffer fills and is stored in step with its reads.
bool copy(int in, int out, long long input_size, long long output_size) {
  long long read_total = 0;
  long long written = 0;
  for (;;) {
    const ssize_t count = read(in, buffer, PIECE);
    if (count < 0) return false;
    read_total += count;
    const long long due = count == 0 ? output_size
                                     : output_size / input_size * read_total +
                                           output_size % input_size * read_total / input_size;
    while (due - written >= PIECE || (count == 0 && written < due)) {
      const long long piece = due - written < PIECE ? due - written : PIECE;
      if (!write_piece(out, piece)) return false;
      written += piece;
    }
    if (count == 0) return true;
  }
}

// The output's folder is the current one.
bool flush_folder() {
  const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool flushed = folder >= 0 && fsync(folder) == 0;
  return close(folder) == 0 && flushed;
}

}  // namespace

int main(int argc, char** argv) {
  const bool flushing = argc == 5 && std::strcmp(argv[4], "--flush") == 0;
  if (argc != 4 && !flushing) {
    std::fputs("usage: floor_copy INPUT OUTPUT OUTPUT_SIZE [--flush]\n", stderr);
    return 2;
  }
  const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const off_t input_size = in < 0 ? -1 : lseek(in, 0, SEEK_END);
  if (in < 0 || out < 0 || input_size <= 0 || lseek(in, 0, SEEK_SET) != 0) {
    std::perror("floor_copy");
    return 1;
  }
  const bool copied =
      copy(in, out, input_size, std::atoll(argv[3])) && (!flushing || fdatasync(out) == 0);
  if (!copied || close(out) != 0 || (flushing && !flush_folder())) {
    std::perror("floor_copy");
    return 1;
  }
  return 0;
}
