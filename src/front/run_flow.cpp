#include "front/run_flow.h"

#include <cstring>

#include "conversion/marking_copy.h"
#include "conversion/output_life.h"
#include "conversion/text_stream.h"
#include "front/limits.h"
#include "front/messages.h"
#include "platform/platform.h"

namespace brmark {

namespace {

[[noreturn]] void refuse(const char* message) {
  write_text(standard_output(), message);
  wait_and_exit(STATUS_REFUSED);
}

// Closes what is open before refusing, so that the input is released
// before the closing wait.
[[noreturn]] void close_and_refuse(const char* message) {
  close_all_files();
  refuse(message);
}

// The message for an output name that is taken or cannot be used, or for an
// output that could not be made, stored or named; nullptr when all is well.
const char* refusal_for(OutputResult result) {
  switch (result) {
    case OutputResult::done:
      return nullptr;
    case OutputResult::name_taken:
      return MSG_TARGET_EXISTS;
    case OutputResult::failed:
      return MSG_CREATE_FAILED;
    case OutputResult::not_stored:
      break;
  }
  return MSG_WRITE_FAILED;
}

// What went wrong in the copy, or nullptr when every byte was read and
// stored: a failed read marks the input, a failed write the output.
const char* copy_failure(const TextStream* input, const TextStream* output) {
  if (text_stream_failed(input)) return MSG_READ_FAILED;
  if (text_stream_failed(output)) return MSG_WRITE_FAILED;
  return nullptr;
}

// Copies into a new output, which the output's life keeps only once every
// byte is stored and named, and otherwise removes; "created" is out when it
// returns.
void copy_or_refuse(TextStream* input, const FileName& output_name) {
  OutputResult created = OutputResult::failed;
  TextStream* output = create_text_write(output_name, input->handle, &created);
  if (output == nullptr) close_and_refuse(refusal_for(created));
  copy_marking_line_ends(input, output);
  close_all_files();
  const char* failure = copy_failure(input, output);
  if (failure == nullptr) failure = refusal_for(keep_output(output_name));
  if (failure == nullptr) {
    // Interrupts are still held from the verdict: one that comes now waits
    // until the message is out, so that a copy never stands without it.
    write_text(standard_output(), MSG_CREATED);
    flush_text_stream(standard_output());
    os_release_interrupts();
    return;
  }
  (void)discard_output(output_name);
  refuse(failure);
}

}  // namespace

bool read_name_line(char* buffer, std::size_t size, std::size_t* length, Character* characters) {
  // Whoever types the name, a person or a program, sees the prompt first.
  flush_text_stream(standard_output());
  TextStream* input = standard_input();
  std::size_t stored = 0;
  while (stored + 1 < size) {
    const int ch = read_char(input);
    if (ch == END_OF_INPUT) break;
    characters[stored] = delivered_character(input);
    buffer[stored++] = static_cast<char>(ch);
    if (ch == LF) break;
  }
  *length = stored;
  if (stored == 0) return false;
  buffer[stored] = '\0';
  if (buffer[stored - 1] == '\n') buffer[--*length] = '\0';
  return true;
}

void make_output_name(char* output, const char* name) {
  std::memcpy(output, OUTPUT_PREFIX, OUTPUT_PREFIX_LENGTH);
  std::memcpy(output + OUTPUT_PREFIX_LENGTH, name, std::strlen(name) + 1);
}

void make_output_characters(Character* output, const Character* name, std::size_t length) {
  std::memcpy(output, OUTPUT_PREFIX_CHARACTERS, OUTPUT_PREFIX_LENGTH * sizeof(Character));
  std::memcpy(output + OUTPUT_PREFIX_LENGTH, name, length * sizeof(Character));
}

// The outcome is out before the wait: a program driving brmark through
// pipes reads it before it answers, and an interrupt during the wait does
// not lose it.
void wait_and_exit(int status) {
  flush_text_stream(standard_output());
  read_char(standard_input());
  os_exit(status);
}

void run_program() {
  char name[NAME_BUFFER_SIZE];
  char output_name[NAME_BUFFER_SIZE];
  // The characters the bytes of each name stand for, where the console
  // tells them: Windows opens names by their characters.
  Character name_characters[NAME_BUFFER_SIZE];
  Character output_characters[NAME_BUFFER_SIZE];
  os_start(TEXT_ENCODING);
  open_standard_streams();
  write_text(standard_output(), MSG_PROMPT);
  std::size_t length = 0;
  // An input that ends before the name is an empty name: no such file.
  if (!read_name_line(name, NAME_READ_SIZE, &length, name_characters)) name[0] = '\0';
  if (length > NAME_MAX_LENGTH) refuse(MSG_NAME_TOO_LONG);
  // No file's name holds a NUL byte: the name typed is not the one before it.
  if (std::strlen(name) != length) refuse(MSG_NOT_FOUND);
  make_output_name(output_name, name);
  make_output_characters(output_characters, name_characters, length);
  const FileName input_file{name, name_characters};
  const FileName output_file{output_name, output_characters};
  TextStream* input = open_text_read(input_file);
  if (input == nullptr) refuse(MSG_NOT_FOUND);
  // Anything standing at the output name is refused before a byte is read.
  const char* taken = refusal_for(look_at_output_name(output_file));
  if (taken != nullptr) close_and_refuse(taken);
  copy_or_refuse(input, output_file);
  wait_and_exit(STATUS_CREATED);
}

}  // namespace brmark
