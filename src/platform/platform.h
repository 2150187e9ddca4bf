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

// Process set-up before the first stream is used. A closed pipe on standard
// output must not kill the process: its exit status is the answer the user
// relies on, and messages that cannot be shown are simply lost.
void os_start();

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
bool os_open_read(const char* name, FileHandle* handle);

// The same test as os_open_read, for a name that is only probed: it never
// waits, so a FIFO without a writer opens at once.
bool os_open_probe(const char* name, FileHandle* handle);

// Creates a new file for writing (permissions 0644 before the umask). Never
// truncates or follows anything already standing at the name: then the result
// is name_exists. From its creation until os_release_created, the file counts
// as unfinished: an interrupt (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C,
// Ctrl-Break or closing the console) removes it before the process ends by
// that same interrupt. Only one file is guarded at a time.
CreateResult os_create_exclusive(const char* name, FileHandle* handle);

// The created file is finished, kept or already removed: interrupts take
// their usual course again.
void os_release_created();

// Reads up to size bytes. Returns the count (more than 0, perhaps fewer than
// asked), 0 at the end of the data, or -1 on a read error.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size);

// Writes all size bytes, continuing after short and interrupted writes.
// Returns false when any byte could not be written.
bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size);

bool os_close(FileHandle handle);
bool os_remove(const char* name);

[[noreturn]] void os_exit(int status);

}  // namespace brmark

#endif
