// Windows on a text stream's buffer, for the copy's bulk path: it moves the
// same bytes, in the same order, as read_char and write_char one at a time
// would, straight in the buffers.
#ifndef BRMARK_CONVERSION_BUFFER_WINDOW_H
#define BRMARK_CONVERSION_BUFFER_WINDOW_H

#include <cstddef>

#include "conversion/text_stream.h"

namespace brmark {

// Frees at least room bytes of the buffer: stores its whole pieces (pages, or
// for a file written to 128 KiB, see attach_file) and keeps the rest at its
// front, as file systems take whole aligned writes fastest.
void make_room(TextStream* stream, std::size_t room);

// The buffered bytes not yet read, raw: the reading rules have not been
// applied to them. read_consumed marks those up to next as read.
inline const unsigned char* read_next(const TextStream* stream) {
  return stream->buffer + stream->position;
}
inline const unsigned char* read_end(const TextStream* stream) {
  return stream->buffer + stream->length;
}
inline void read_consumed(TextStream* stream, const unsigned char* next) {
  stream->position = static_cast<std::size_t>(next - stream->buffer);
}

// Where the next stored bytes go, after flushing if fewer than room bytes
// are free (room must not exceed the capacity). The bytes must already be as
// the writing rule stores them; write_committed marks those up to next as
// written. Bytes stored beyond next are scratch, overwritten later.
inline unsigned char* write_next(TextStream* stream, std::size_t room) {
  if (stream->capacity - stream->length < room) make_room(stream, room);
  return stream->buffer + stream->length;
}
inline const unsigned char* write_end(const TextStream* stream) {
  return stream->buffer + stream->capacity;
}
inline void write_committed(TextStream* stream, const unsigned char* next) {
  stream->length = static_cast<std::size_t>(next - stream->buffer);
}

}  // namespace brmark

#endif
