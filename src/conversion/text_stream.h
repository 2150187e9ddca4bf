// Text streams: buffered byte streams over files, pipes and terminals with
// brmark's own line-end rules, identical on every platform.
//
// Reading: CR LF is delivered as one LF (also when the pair is split between
// two refills), any other CR is delivered as it is, and SUB (0x1A) ends the
// data. From a file or pipe that end is permanent; from a terminal it ends
// only the line it was typed in. Every other byte passes unchanged. An end of
// the data is not remembered: the next read asks the source again.
//
// Writing: every LF is stored as CR LF, every other byte unchanged.
#ifndef BRMARK_CONVERSION_TEXT_STREAM_H
#define BRMARK_CONVERSION_TEXT_STREAM_H

#include <cstddef>
#include <cstdint>

#include "conversion/output_life.h"
#include "platform/platform.h"

namespace brmark {

// What read_char returns when nothing more can be delivered; never a byte.
constexpr int END_OF_INPUT = -1;

constexpr unsigned char LF = 0x0A;
constexpr unsigned char CR = 0x0D;
constexpr unsigned char SUB = 0x1A;

// File buffers of one write piece: a read or write of less costs measurably
// more per byte, and more gains nothing. Standard input and output keep what
// one console transfer moves: a line at a time at a terminal.
constexpr std::size_t FILE_BUFFER_SIZE = WRITE_PIECE;
constexpr std::size_t STANDARD_BUFFER_SIZE = CONSOLE_TRANSFER;
// How much the output stores before it asks the system to start storing
// it (os_start_storing), so that the disk works while the copy goes on.
constexpr std::uint64_t STORING_STEP = std::uint64_t{1} << 20;

struct TextStream {
  FileHandle handle;
  unsigned char* buffer;
  std::size_t capacity;
  std::size_t piece;     // writing: while more follows, stores are whole multiples of this
  std::size_t position;  // reading: index of the next byte to deliver
  std::size_t length;    // bytes held in the buffer
  // Standard input's: the character each buffered byte begins, as os_read
  // gives them; nullptr for the other streams.
  Character* characters;
  bool writing;
  bool console;  // a terminal: SUB ends one line, each written text is shown at once
  bool open;
  bool ended;   // SUB read from a file or pipe: every later read is the end
  bool failed;  // a read, write or close went wrong; never cleared
  // Writing the output: how many bytes it has stored, and up to where it
  // has asked the system to start storing them.
  bool starts_storing;
  std::uint64_t stored;
  std::uint64_t storing_asked;
};

// Makes a stream over an already open handle, using the caller's buffer; a
// writing one stores whole pages while more follows.
// The program uses it for its own streams; tests use it to put the buffer
// boundary wherever they need it.
void attach_text_stream(TextStream* stream, FileHandle handle, bool writing, bool console,
                        unsigned char* buffer, std::size_t capacity);

// The character that began at the byte read_char delivered last, or
// UNKNOWN_CHARACTER where the stream does not know it.
Character delivered_character(const TextStream* stream);

// Sets up standard input and output; call once before using either.
void open_standard_streams();
TextStream* standard_input();
TextStream* standard_output();

// The input: nullptr when the file does not exist or cannot be read (a
// directory, no permission, an empty name) or when one is open already. A
// FIFO is read from its writer: the open waits until one comes.
TextStream* open_text_read(const FileName& name);

// The output: a writing stream over the new file for name that the output's
// life makes (open_output), never more readable than the open file like;
// nullptr with *result telling why it could not be made. The output's life
// keeps its handle: the stream only stores what is written.
TextStream* create_text_write(const FileName& name, FileHandle like, OutputResult* result);

// Flushes every open file stream and closes the input, never the standard
// streams; the output's handle is left to the output's life, which names it
// before its last close. Returns how many streams ended cleanly. A failed
// flush marks the output failed, which stays readable (text_stream_failed)
// until it is created again.
int close_all_files();

// Stores what a writing stream holds; a failure marks the stream failed, and
// a failed stream discards what it is given from then on.
void flush_text_stream(TextStream* stream);

inline bool text_stream_failed(const TextStream* stream) {
  return stream->failed;
}

// The slow paths of read_char and write_char.
int read_char_refilling(TextStream* stream);
void write_byte_translating(TextStream* stream, unsigned char byte);

// The next byte after the reading rules (0 to 255), or END_OF_INPUT. A read
// error also yields END_OF_INPUT and marks the stream failed.
inline int read_char(TextStream* stream) {
  if (stream->position < stream->length) {
    const unsigned char byte = stream->buffer[stream->position];
    if (byte != CR && byte != SUB) {
      ++stream->position;
      return byte;
    }
  }
  return read_char_refilling(stream);
}

inline void write_char(TextStream* stream, unsigned char byte) {
  if (byte != LF && stream->length < stream->capacity) {
    stream->buffer[stream->length++] = byte;
    return;
  }
  if (byte == LF && stream->capacity - stream->length >= 2) {
    stream->buffer[stream->length++] = CR;
    stream->buffer[stream->length++] = LF;
    return;
  }
  write_byte_translating(stream, byte);
}

// Writes every byte of a NUL-terminated string; on a terminal the whole text
// is on the screen when this returns.
void write_text(TextStream* stream, const char* text);

}  // namespace brmark

#endif
