// The fixed texts the user sees, and the prefix of the output name. One table
// per encoding is linked into the program: UTF-8 or Shift-JIS (code page 932).
// Each message ends in one LF, which standard output stores as CR LF.
#ifndef BRMARK_FRONT_MESSAGES_H
#define BRMARK_FRONT_MESSAGES_H

#include <cstddef>

#include "platform/platform.h"

namespace brmark {

extern const char MSG_PROMPT[];
extern const char MSG_NAME_TOO_LONG[];
extern const char MSG_NOT_FOUND[];
extern const char MSG_TARGET_EXISTS[];
extern const char MSG_CREATE_FAILED[];
extern const char MSG_READ_FAILED[];
extern const char MSG_WRITE_FAILED[];
extern const char MSG_CREATED[];

// "br付き " (ending in a space), put in front of the whole typed name, and
// its characters, one for each of its bytes as a FileName holds them, so
// that a system that names files by characters needs no decoding.
extern const char OUTPUT_PREFIX[];
extern const std::size_t OUTPUT_PREFIX_LENGTH;
extern const Character OUTPUT_PREFIX_CHARACTERS[];

// How this table is encoded.
extern const TextEncoding TEXT_ENCODING;

}  // namespace brmark

#endif
