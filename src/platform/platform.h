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

enum class CreateResult { created, name_exists, failed };

// The encoding of the program's own fixed texts: the messages and the prefix
// of the output name.
enum class TextEncoding { utf8, shift_jis };

// A file name as the program forms it: NUL-terminated bytes, of which the
// first fixed_prefix are the program's own prefix in its text encoding and the
// rest are the name as typed. POSIX opens the bytes as they are. Windows opens
// the name as UTF-16 text: the prefix's characters, then the typed ones as the
// console delivered them (none lost or replaced by a look-alike) or, for a
// name read from a pipe or a file, the bytes in the ANSI code page.
struct FileName {
  const char* bytes;
  std::size_t fixed_prefix;
};

// Process set-up before the first stream is used. A closed pipe on standard
// output must not kill the process: its exit status is the answer the user
// relies on, and messages that cannot be shown are simply lost. A file-size
// limit must not kill it either: the write fails and is reported as such.
// texts is how the fixed texts are encoded: Windows shows them at a console
// as characters, in any code page.
void os_start(TextEncoding texts);

FileHandle os_standard_input();
FileHandle os_standard_output();

// True when the handle is an interactive terminal (not merely a character
// device such as /dev/null).
bool os_is_terminal(FileHandle handle);

// Opens an existing file for reading, following links. Fails for a name that
// does not exist, cannot be read, or is a directory. A FIFO is opened as any
// reader of one expects: the call waits until a writer opens it, so that the
// copy takes what the writer writes. Interrupted calls here and below are
// retried.
bool os_open_read(const FileName& name, FileHandle* handle);

// The same test as os_open_read, for a name that is only probed: it never
// waits, so a FIFO without a writer opens at once.
bool os_open_probe(const FileName& name, FileHandle* handle);

// Creates the output for name, never more readable than the open file like
// (on POSIX 0644 masked by like's permission bits, then by the umask). Nothing
// already standing at the name is ever truncated or followed: then the result
// is name_exists. Until os_name_output has succeeded, no end of the process
// leaves the file behind under its name:
// - Linux: the file is made without a name in name's folder; the end of the
//   process discards it.
// - Windows: the file is marked for deletion on its close; the system removes
//   it however the process ends.
// - Where neither is available, the file is created exclusively under its
//   name, and an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT) removes it
//   before the process ends by that same signal.
// Only one output exists at a time.
CreateResult os_create_output(const FileName& name, FileHandle like, FileHandle* handle);

// Gives the output its name once its last byte is written, before its close.
// The name is never taken from another program: when one has put something
// there meanwhile, the result is name_exists and that file is left alone.
CreateResult os_name_output(FileHandle handle, const FileName& name);

// Ends the life of the output once its handle is closed. Unless keep, a file
// that this run gave the name is removed again (a close that failed after the
// naming, or the fallback's named file); a name this run did not give is never
// touched. Interrupts take their usual course again. Returns false when the
// file should have been removed and could not be.
bool os_finish_output(const FileName& name, bool keep);

// Reads up to size bytes. Returns the count (more than 0, perhaps fewer than
// asked), 0 at the end of the data, or -1 on a read error.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size);

// Writes all size bytes, continuing after short and interrupted writes.
// Returns false when any byte could not be written.
bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size);

bool os_close(FileHandle handle);

[[noreturn]] void os_exit(int status);

}  // namespace brmark

#endif
