// The whole run: prompt, typed name, the file tests, the copy, one message,
// the closing wait and the exit status.
#ifndef BRMARK_FRONT_RUN_FLOW_H
#define BRMARK_FRONT_RUN_FLOW_H

#include <cstddef>

#include "platform/platform.h"

namespace brmark {

constexpr int STATUS_CREATED = 0;
constexpr int STATUS_REFUSED = 1;

// The process entry: one file per run, and every path ends in wait_and_exit.
[[noreturn]] void run_program();

// Reads one line from standard input into buffer, at most size - 1 bytes, and
// drops its LF; *length is the count of bytes kept, which a NUL among them
// makes differ from the string's length. characters (room for size) gets the
// character each kept byte begins, where the console tells it. Returns
// false, storing nothing at all, when the input ends before the first byte.
bool read_name_line(char* buffer, std::size_t size, std::size_t* length, Character* characters);

// The output name: OUTPUT_PREFIX, then the whole typed name as plain bytes.
// output must hold OUTPUT_PREFIX_LENGTH + strlen(name) + 1 bytes.
void make_output_name(char* output, const char* name);

// The output name's characters, byte for byte beside make_output_name's:
// the prefix's, then the typed name's length characters.
void make_output_characters(Character* output, const Character* name, std::size_t length);

// Shows what standard output still holds, takes one character from
// standard input and discards it (at a terminal: waits for Enter unless a
// character is pending), and ends the process with status.
[[noreturn]] void wait_and_exit(int status);

}  // namespace brmark

#endif
