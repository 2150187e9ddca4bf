// The marked copy written from the rules alone, byte at a time, for tests and
// the fuzz target to hold the program's copy against.
#ifndef BRMARK_TESTS_REFERENCE_COPY_H
#define BRMARK_TESTS_REFERENCE_COPY_H

#include <cstddef>
#include <string>

namespace brmark::testing {

// CR LF and a lone LF end a line, stored as "<br>" CR LF; SUB ends the
// input; every other byte, a lone CR included, is copied.
inline std::string reference_copy(const unsigned char* data, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size && data[i] != 0x1A; ++i) {
    const bool crlf = data[i] == '\r' && i + 1 < size && data[i + 1] == '\n';
    if (crlf || data[i] == '\n') {
      out += "<br>\r\n";
      if (crlf) ++i;
    } else {
      out += static_cast<char>(data[i]);
    }
  }
  return out;
}

}  // namespace brmark::testing

#endif
