// The few operating-system services brmark needs, behind plain functions.
// This header and the files beside it are the only places that see system
// headers; the build links either the POSIX files or the Win32 ones.
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
// reader takes what the writer writes. An interrupted open, read or write
// is retried, here and below; no other call is.
bool os_open_read(const FileName& name, FileHandle* handle);

// Which file a handle or a name is, as the file system tells files apart:
// the volume and the file's number on it (128 bits where Windows has them).
struct FileIdentity {
  std::uint64_t volume;
  std::uint64_t file[2];
};

inline bool same_file(const FileIdentity& one, const FileIdentity& other) {
  return one.volume == other.volume && one.file[0] == other.file[0] && one.file[1] == other.file[1];
}

// What stands at a name, found by looking at the name itself: nothing there
// is opened or followed.
enum class NameState {
  absent,    // nothing stands there (its folder may be missing too)
  taken,     // something does: a file, a folder, a link, a FIFO...
  unusable,  // it cannot be looked at (too long, a folder part that is a file,
             // a folder that cannot be searched, a name Windows would take
             // for a stream of another file)
};
// With identity, also which file stands there when taken.
NameState os_name_state(const FileName& name, FileIdentity* identity = nullptr);

// What a call on a folder's names did.
enum class NameResult {
  done,
  taken,        // something already stands at the new name; left alone
  unsupported,  // the folder does not take this kind of call at all
  failed,       // any other error: out of room, an I/O error, no permission
};

// How many bytes of name are its folder part, up to and with the last
// separator; 0 for a name in the current folder.
std::size_t os_folder_length(const FileName& name);

// A number that differs from run to run and call to call, for new names.
std::uint64_t os_name_seed();

// A new file without a name in name's folder, for writing, readable by its
// owner only: unsupported where the system or the folder has none.
NameResult os_open_unnamed(const FileName& name, FileHandle* handle);

// A new file at name, for writing, readable by its owner only, made only if
// nothing stands there (nothing is followed); hidden where the system has
// such a mark (Windows).
NameResult os_create_new(const FileName& name, bool hidden, FileHandle* handle);

bool os_handle_identity(FileHandle handle, FileIdentity* identity);

// Carries the permissions of the open file like to the new file handle
// (POSIX: its group, access ACL and mode bits, at most 0644 and within the
// umask), by the rule that nobody but the owner may read or write the copy
// who could not do the same to the input. Where any part cannot be carried,
// the file stays readable by its owner only. Windows: a new file has its
// folder's permissions, and nothing is done.
void os_carry_permissions(FileHandle like, FileHandle handle);

// Takes away the mark that hides a new file from listings where the system
// has one (Windows), before the file is given its name.
bool os_unhide(FileHandle handle);

// Stores the file's bytes on the storage itself, past every cache.
bool os_flush_to_storage(FileHandle handle);
// Asks the system to start storing length bytes of the file from offset,
// already written, while more are written: advice, whose outcome nothing
// waits for or depends on (Linux: sync_file_range; nothing elsewhere).
void os_start_storing(FileHandle handle, std::uint64_t offset, std::uint64_t length);
// Stores the folder that holds name, so that the name given to the open
// file handle (0 once closed) survives a power cut; true where the file
// system does that by itself. How, where the folder cannot be opened, each
// platform file says.
bool os_flush_folder(const FileName& name, FileHandle handle);

// Gives the file at from, or the open file itself where from is nullptr (an
// unnamed file), the name to as well, never replacing anything there.
// Unsupported on Windows, where a hard link would share the draft's hidden
// mark.
NameResult os_link_new(FileHandle handle, const FileName* from, const FileName& to);
// Renames the file handle, at from, to to, never replacing anything there;
// a handle of 0 renames the closed file by its name.
NameResult os_rename_new(FileHandle handle, const FileName& from, const FileName& to);
// The same, replacing what stands at to (which the caller has made its own).
NameResult os_rename_over(FileHandle handle, const FileName& from, const FileName& to);

// Removes name while it holds the file identity names, never following a
// link; the one removal of the process, its interrupts' too. True when
// nothing of that file is left under name. On Windows the file opened by
// the name is compared and removed through that very handle; POSIX compares
// what the name holds and then removes the name, which leaves the instant
// between the two to another program.
bool os_remove_if_same(const FileName& name, const FileIdentity& identity);

// Room for any name of the output's, with its NUL: the output name, or a
// hidden name in its folder.
constexpr std::size_t DRAFT_NAME_ROOM = 512;

// What an interrupt removes. Until os_disarm_removals, a signal that ends
// the process (Ctrl-C on Windows) first removes each armed name while it
// holds the file that identity names; on Windows, a file still open
// (handle, else 0) is removed by its handle, which is also marked to go when the process
// ends in any way, where the file system takes that mark. Up to
// MAX_REMOVALS at a time; name must stay valid while armed. Change them
// only between os_hold_interrupts and os_release_interrupts, so that an
// interrupt never sees them half changed; the interrupt then waits. A
// handle is disarmed before it is closed.
constexpr int MAX_REMOVALS = 2;
void os_hold_interrupts();
void os_release_interrupts();
// Whether an interrupt is waiting for os_release_interrupts: one that came
// while they were held.
bool os_interrupt_pending();
void os_arm_removal(const FileName& name, FileHandle handle, const FileIdentity& identity);
// False when a mark could not be taken back, so the close would take the
// file with it.
bool os_disarm_removals();

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
