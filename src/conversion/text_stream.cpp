#include "conversion/text_stream.h"

#include <cstring>

#include "conversion/buffer_window.h"
#include "conversion/output_life.h"

namespace brmark {

namespace {

alignas(PAGE_SIZE) unsigned char input_buffer[STANDARD_BUFFER_SIZE];
Character input_characters[STANDARD_BUFFER_SIZE];
alignas(PAGE_SIZE) unsigned char output_buffer[STANDARD_BUFFER_SIZE];
TextStream input_stream;
TextStream output_stream;

// A file written to starts half a page into its buffer. The copy reads and
// writes at nearly the same offsets in its two buffers; at the same offset
// within a page, loads may wait on earlier stores that only look alike (the
// processor compares the low 12 bits of addresses first). The half page
// keeps the two apart on any processor.
constexpr std::size_t WRITE_SKEW = PAGE_SIZE / 2;
// A file written to stores whole FILE_BUFFER_SIZE pieces (WRITE_PIECE), each
// at a multiple of that size in the file; the page beyond holds what follows
// a piece until the next one is whole.
constexpr std::size_t WRITE_SLACK = PAGE_SIZE;
alignas(PAGE_SIZE) unsigned char input_file_buffer[FILE_BUFFER_SIZE];
alignas(PAGE_SIZE) unsigned char output_file_buffer[FILE_BUFFER_SIZE + WRITE_SLACK + WRITE_SKEW];
// The run's two files.
TextStream input_file;
TextStream output_file;

// Stores the first count bytes of the buffer; a failure marks the stream
// failed, and a failed stream stores nothing more. The output asks for its
// bytes to be stored after each STORING_STEP of them.
void store(TextStream* stream, std::size_t count) {
  if (count == 0 || stream->failed) return;
  stream->failed = !os_write_all(stream->handle, stream->buffer, count);
  stream->stored += count;
  const std::uint64_t unasked = stream->stored - stream->storing_asked;
  if (!stream->starts_storing || stream->failed || unasked < STORING_STEP) return;
  os_start_storing(stream->handle, stream->storing_asked, unasked);
  stream->storing_asked = stream->stored;
}

// On a terminal a SUB ends the line it arrives in: what stands before it is
// delivered, the rest of that line is dropped.
void cut_at_console_end(TextStream* stream) {
  const void* sub = std::memchr(stream->buffer, SUB, stream->length);
  if (sub != nullptr) {
    stream->length =
        static_cast<std::size_t>(static_cast<const unsigned char*>(sub) - stream->buffer);
  }
}

// Fetches the next block from the source into the empty buffer. False when it
// delivers nothing: the end of the data, a read error (the stream is marked
// failed) or a terminal line that begins with SUB.
bool refill(TextStream* stream) {
  stream->position = 0;
  stream->length = 0;
  const std::ptrdiff_t count =
      os_read(stream->handle, stream->buffer, stream->capacity, stream->characters);
  if (count < 0) stream->failed = true;
  if (count <= 0) return false;
  stream->length = static_cast<std::size_t>(count);
  if (stream->console) cut_at_console_end(stream);
  return stream->length > 0;
}

bool have_byte(TextStream* stream) {
  return stream->position < stream->length || refill(stream);
}

void put_byte(TextStream* stream, unsigned char byte) {
  if (stream->length == stream->capacity) make_room(stream, 1);
  stream->buffer[stream->length++] = byte;
}

}  // namespace

void attach_text_stream(TextStream* stream, FileHandle handle, bool writing, bool console,
                        unsigned char* buffer, std::size_t capacity) {
  *stream = TextStream{handle,  buffer, capacity, PAGE_SIZE, 0,     0, nullptr, writing,
                       console, true,   false,    false,     false, 0, 0};
}

void open_standard_streams() {
  const FileHandle in = os_standard_input();
  const FileHandle out = os_standard_output();
  attach_text_stream(&input_stream, in, false, os_is_terminal(in), input_buffer,
                     STANDARD_BUFFER_SIZE);
  input_stream.characters = input_characters;
  attach_text_stream(&output_stream, out, true, os_is_terminal(out), output_buffer,
                     STANDARD_BUFFER_SIZE);
}

Character delivered_character(const TextStream* stream) {
  if (stream->characters == nullptr || stream->position == 0) return UNKNOWN_CHARACTER;
  return stream->characters[stream->position - 1];
}

TextStream* standard_input() {
  return &input_stream;
}
TextStream* standard_output() {
  return &output_stream;
}

TextStream* open_text_read(const FileName& name) {
  FileHandle handle = 0;
  if (input_file.open || !os_open_read(name, &handle)) return nullptr;
  attach_text_stream(&input_file, handle, false, false, input_file_buffer, FILE_BUFFER_SIZE);
  return &input_file;
}

TextStream* create_text_write(const FileName& name, FileHandle like, OutputResult* result) {
  FileHandle handle = 0;
  *result = output_file.open ? OutputResult::failed : open_output(name, like, &handle);
  if (*result != OutputResult::done) return nullptr;
  attach_text_stream(&output_file, handle, true, false, output_file_buffer + WRITE_SKEW,
                     FILE_BUFFER_SIZE + WRITE_SLACK);
  output_file.piece = FILE_BUFFER_SIZE;
  output_file.starts_storing = true;
  return &output_file;
}

int close_all_files() {
  int closed = 0;
  if (input_file.open) closed += os_close(input_file.handle) ? 1 : 0;
  input_file.open = false;
  if (output_file.open) {
    flush_text_stream(&output_file);
    closed += output_file.failed ? 0 : 1;
  }
  output_file.open = false;
  return closed;
}

void flush_text_stream(TextStream* stream) {
  if (!stream->writing) return;
  store(stream, stream->length);
  stream->length = 0;
}

void make_room(TextStream* stream, std::size_t room) {
  const std::size_t whole = stream->length / stream->piece * stream->piece;
  const std::size_t rest = stream->length - whole;
  if (whole == 0 || stream->capacity - rest < room) {
    flush_text_stream(stream);
    return;
  }
  store(stream, whole);
  std::memmove(stream->buffer, stream->buffer + whole, rest);
  stream->length = rest;
}

int read_char_refilling(TextStream* stream) {
  if (stream->ended || !have_byte(stream)) return END_OF_INPUT;
  const unsigned char byte = stream->buffer[stream->position++];
  if (byte == SUB) {
    // Nothing after it may reach the fast path of read_char.
    stream->ended = true;
    stream->length = stream->position;
    return END_OF_INPUT;
  }
  if (byte != CR) return byte;
  // The byte after a CR decides what the CR is, even when it is still
  // in the source; a CR that ends the data stays a CR.
  if (!have_byte(stream) || stream->buffer[stream->position] != LF) return CR;
  ++stream->position;
  return LF;
}

void write_byte_translating(TextStream* stream, unsigned char byte) {
  if (byte == LF) put_byte(stream, CR);
  put_byte(stream, byte);
}

void write_text(TextStream* stream, const char* text) {
  for (; *text != '\0'; ++text) write_char(stream, static_cast<unsigned char>(*text));
  if (stream->console) flush_text_stream(stream);
}

}  // namespace brmark
