// The few operating-system services brmark needs, behind plain functions.
// This header and the files beside it are the only places that see system
// headers; one implementation file per platform is linked into the program.
#ifndef BRMARK_PLATFORM_PLATFORM_H
#define BRMARK_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace brmark {

// An open file, pipe or terminal: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;

// Sizes the system's own copies work in: the memory page, and the piece that
// file systems keeping large folios take fastest, whole and at offsets of its
// size (31 pages a write cost 1.15 times 32 in our measurements).
constexpr std::size_t PAGE_SIZE = 4096;
constexpr std::size_t WRITE_PIECE = std::size_t{128} * 1024;
// The most one read or write of a console moves.
constexpr std::size_t CONSOLE_TRANSFER = 4096;

// How bytes written to a console are to be read as characters: Windows shows
// them as characters, in any code page.
enum class TextEncoding { utf8, shift_jis };

// A character of text, as a Unicode code point; in a name's characters also
// one of the two marks below.
using Character = char32_t;
// A byte inside a character, after the one where it begins.
constexpr Character INSIDE_CHARACTER = 0xFFFFFFFEU;
// A byte whose character is not known: read from a pipe or a file, or on a
// system that reads consoles as bytes.
constexpr Character UNKNOWN_CHARACTER = 0xFFFFFFFFU;

// A file name: NUL-terminated bytes and, for each byte, the character that
// begins there, INSIDE_CHARACTER or UNKNOWN_CHARACTER (or no characters at
// all, nullptr). POSIX opens the bytes as they are. Windows opens the name as
// UTF-16 text: the known characters as they are (none lost or replaced by a
// look-alike), each run of unknown bytes as the ANSI code page reads it.
struct FileName {
  const char* bytes;
  const Character* characters;
};

// Process set-up before the first stream is used. A closed pipe on standard
// output must not kill the process: its exit status is the answer the user
// relies on, and what cannot be shown is simply lost. A file-size
// limit must not kill it either: the write fails and is reported as such.
// console_text is how the bytes written to a console are encoded.
void os_start(TextEncoding console_text);

FileHandle os_standard_input();
FileHandle os_standard_output();

// True when the handle is an interactive terminal (not merely a character
// device such as /dev/null).
bool os_is_terminal(FileHandle handle);

// Opens an existing file for reading, following links. Fails for a name that
// does not exist, cannot be read, or is a directory. A FIFO is opened as any
// reader of one expects: the call waits until a writer opens it, so that the
// reader takes what the writer writes. Interrupted calls here and below are
// retried.
bool os_open_read(const FileName& name, FileHandle* handle);

// What stands at a name, found by looking at the name itself: nothing there
// is opened or followed.
enum class NameState {
  absent,    // nothing stands there (its folder may be missing too)
  taken,     // something does: a file, a folder, a link, a FIFO...
  unusable,  // it cannot be looked at (too long, a folder part that is a file,
             // a folder that cannot be searched, a name Windows would take
             // for a stream of another file)
};
NameState os_name_state(const FileName& name);

// The ways of writing a new file where nobody takes it for finished until it
// is whole, best first. Callers try them in this order and keep the first
// the system and the file system support.
enum class DraftWay {
  unnamed,       // a file without a name in the name's folder, linked to
                 // the name once whole (Linux)
  aside_link,    // a new hidden file in the name's folder, linked to the
                 // name once whole, then its own name removed
  aside_rename,  // the same, renamed to the name without replacing anything,
                 // where the file system has no hard links
  under_name,    // created under the name itself, where neither publishing
                 // call is supported
};
constexpr DraftWay DRAFT_WAYS[] = {DraftWay::unnamed, DraftWay::aside_link, DraftWay::aside_rename,
                                   DraftWay::under_name};

// Room for the name a draft is written under, in the platform's own form.
constexpr std::size_t DRAFT_NAME_ROOM = 2048;

// A new file while it is written.
struct Draft {
  FileHandle handle;
  DraftWay way;
  // Which file it is, as the file system tells files apart, so that a name
  // another program has put something else under is never removed.
  std::uint64_t identity[2];
  // The aside ways' own name for it on POSIX: a dot, "brmark-" and six
  // characters (Windows keeps the UTF-16 form itself).
  char aside[DRAFT_NAME_ROOM];
};

enum class StepResult {
  done,
  unavailable,  // this way is not supported here: try the next
  name_taken,   // something already stands at the name; it is left alone
  failed,
};

// Makes a new file for name in the given way, never more readable than the
// open file like: on POSIX 0644 masked by like's permission bits and the
// umask, with like's group where the system allows, else no group bits.
// Nothing already standing at any name is truncated or followed. From the
// moment a name of the draft exists until os_publish_draft or
// os_discard_draft, an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT, Ctrl-C)
// removes it before the process ends by that same signal.
StepResult os_open_draft(DraftWay way, const FileName& name, FileHandle like, Draft* draft);

// Gives the draft the name, once every byte of it is stored: a call that
// never replaces what stands there (name_taken, and that file is left
// alone). Once it is done, an interrupt removes nothing.
StepResult os_publish_draft(Draft* draft, const FileName& name);

// Removes the names of a draft that was never published, after its close:
// the aside name, or for under_name the name itself while it still holds the
// draft. False when a name should have been removed and could not be.
bool os_discard_draft(const Draft& draft, const FileName& name);

// Whether name holds the draft's very file.
bool os_name_holds(const FileName& name, const Draft& draft);

// Removes name while it holds the draft's file, never another one. False
// when it should have been removed and could not be.
bool os_remove_published(const FileName& name, const Draft& draft);

// Reads up to size bytes. Returns the count (more than 0, perhaps fewer than
// asked), 0 at the end of the data, or -1 on a read error. Given characters
// (room for size), it also stores for each byte read the character that
// begins there, as FileName holds them: a console that delivers characters
// (Windows) gives them, anything else UNKNOWN_CHARACTER. A console line is
// taken whole: what does not fit is dropped, never left for the next reader
// of the console.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size,
                       Character* characters = nullptr);

// Writes all size bytes, continuing after short and interrupted writes.
// Returns false when any byte could not be written.
bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size);

bool os_close(FileHandle handle);

[[noreturn]] void os_exit(int status);

}  // namespace brmark

#endif
