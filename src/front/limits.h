// Sizes of the typed name and the output name.
#ifndef BRMARK_FRONT_LIMITS_H
#define BRMARK_FRONT_LIMITS_H

#include <cstddef>

namespace brmark {

// Each of the two name buffers: the typed name and the output name.
constexpr std::size_t NAME_BUFFER_SIZE = 264;
// Handed to read_name_line: at most 260 bytes of text and the NUL are stored.
constexpr std::size_t NAME_READ_SIZE = 261;
// Longest accepted name in bytes, line end dropped. The output name then
// still fits its buffer with the prefix and the NUL.
constexpr std::size_t NAME_MAX_LENGTH = 248;

}  // namespace brmark

#endif
