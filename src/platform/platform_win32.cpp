// Win32 implementation of the platform services.
//
// Windows keeps names and the console's text in UTF-16. Names are opened
// with the wide functions, built from the characters the user typed, and
// fixed texts are written to a console as characters, so that both are right
// whatever code page the system or the console uses. Bytes on pipes and in
// files are never converted.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace brmark {

namespace {

// FileHandle holds the HANDLE's bits, so the cast back is exact.
HANDLE handle_of(FileHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

FileHandle file_handle_of(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// Other programs may read and write the files meanwhile, as with any
// ordinary copy.
constexpr DWORD SHARED_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The largest transfer asked of ReadFile or WriteFile at once; their counts
// are DWORDs.
constexpr std::size_t MAX_TRANSFER = std::size_t{1} << 30;

DWORD transfer_size(std::size_t size) {
  return static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
}

// Console reads and writes go through UTF-16 buffers sized for the standard
// streams' 4096-byte buffers.
constexpr std::size_t STANDARD_READ_UNITS = 4096 / 3;
constexpr int STANDARD_WRITE_UNITS = 4096;
constexpr wchar_t SUB_UNIT = 0x1A;

// The draft an interrupt removes, until it is published: the handler runs on
// a thread of its own, so both it and publishing hold draft_lock, and a
// published copy is never touched.
CRITICAL_SECTION draft_lock;
HANDLE interrupt_removes = INVALID_HANDLE_VALUE;

// The classic deletion mark: once it is set, the only thing done with the
// handle is its close, which the end of the process makes.
void mark_for_deletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  (void)SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Ctrl-C, Ctrl-Break and closing the console end the process with the status
// Windows gives an interrupted program, whatever the host's default handler
// does (Wine's exits with 0), and remove a draft not yet published.
BOOL WINAPI end_interrupted(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  EnterCriticalSection(&draft_lock);
  if (interrupt_removes != INVALID_HANDLE_VALUE) mark_for_deletion(interrupt_removes);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Windows 10 1709 and later have a deletion mark under which writing goes on
// as usual, set and cleared by FileDispositionInfoEx with
// FILE_DISPOSITION_FLAG_ON_CLOSE: a draft so marked goes however the process
// ends. Older headers lack the names.
constexpr auto DISPOSITION_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_ON_CLOSE = 0x8;
struct DispositionEx {
  DWORD flags;
};

bool delete_on_close(HANDLE file, bool deletion) {
  DispositionEx disposition{(deletion ? DISPOSITION_DELETE : 0) | DISPOSITION_ON_CLOSE};
  return SetFileInformationByHandle(file, DISPOSITION_EX, &disposition, sizeof disposition) != 0;
}

// Whether the draft carries that mark. Systems and file systems that refuse
// it (older Windows, some redirectors, Wine) still copy: a run killed
// outright there may leave the hidden draft, never anything under the
// copy's name.
bool draft_marked = false;

// The draft's own name, in the output's folder.
constexpr std::size_t DRAFT_UNITS = 1024;
wchar_t draft_name[DRAFT_UNITS];

// The code page of the program's fixed texts.
UINT text_code_page = 932;

// The standard streams when they are consoles, else INVALID_HANDLE_VALUE.
HANDLE console_input = INVALID_HANDLE_VALUE;
HANDLE console_output = INVALID_HANDLE_VALUE;

HANDLE console_or_invalid(HANDLE handle) {
  DWORD mode = 0;
  const bool console = GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
  return console ? handle : INVALID_HANDLE_VALUE;
}

// What the console has delivered, character by character: the character's
// UTF-16 units and the bytes it became in the console's input code page. A
// name typed at the console is opened with these characters. The first ones
// suffice: a longer name is refused before it is opened.
struct TypedCharacter {
  wchar_t units[2];
  unsigned char bytes[4];
  unsigned char unit_count;
  unsigned char byte_count;
};
constexpr std::size_t KEPT_CHARACTERS = 300;
TypedCharacter typed[KEPT_CHARACTERS];
std::size_t typed_count = 0;

// The bytes of one character in the console's code page. A character that
// the code page cannot hold becomes one '?' rather than a look-alike (the
// best-fit conversion would turn é into e): it counts as one byte toward the
// name's limit and is opened as typed.
int console_bytes(UINT code_page, const wchar_t* units, int unit_count, unsigned char* bytes) {
  char* out = reinterpret_cast<char*>(bytes);
  if (code_page == CP_UTF8) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, units, unit_count, out, 4, nullptr, nullptr);
    return length > 0 ? length : 0;
  }
  BOOL lost = FALSE;
  const int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, units, unit_count, out, 4,
                                         nullptr, &lost);
  if (length > 0 && lost == FALSE) return length;
  bytes[0] = '?';
  return 1;
}

void keep_typed(const wchar_t* units, int unit_count, const unsigned char* bytes, int byte_count) {
  if (typed_count == KEPT_CHARACTERS) return;
  TypedCharacter& kept = typed[typed_count++];
  std::memcpy(kept.units, units, static_cast<std::size_t>(unit_count) * sizeof(wchar_t));
  std::memcpy(kept.bytes, bytes, static_cast<std::size_t>(byte_count));
  kept.unit_count = static_cast<unsigned char>(unit_count);
  kept.byte_count = static_cast<unsigned char>(byte_count);
}

// One console read, as the bytes of the console's input code page. The
// stream drops what follows a SUB in the same read; so does the record of
// typed characters.
std::ptrdiff_t read_console(unsigned char* buffer, std::size_t size) {
  // At most 4 bytes for 2 units, 3 for 1: a third of the room in units.
  wchar_t units[STANDARD_READ_UNITS];
  const std::size_t asked = size / 3 < STANDARD_READ_UNITS ? size / 3 : STANDARD_READ_UNITS;
  DWORD count = 0;
  if (ReadConsoleW(console_input, units, static_cast<DWORD>(asked), &count, nullptr) == 0) {
    return -1;
  }
  const UINT code_page = GetConsoleCP();
  std::size_t stored = 0;
  bool keeping = true;
  for (DWORD at = 0; at < count;) {
    const bool pair =
        IS_HIGH_SURROGATE(units[at]) && at + 1 < count && IS_LOW_SURROGATE(units[at + 1]);
    const int unit_count = pair ? 2 : 1;
    const int byte_count = console_bytes(code_page, units + at, unit_count, buffer + stored);
    if (units[at] == SUB_UNIT) keeping = false;
    if (keeping) keep_typed(units + at, unit_count, buffer + stored, byte_count);
    stored += static_cast<std::size_t>(byte_count);
    at += static_cast<DWORD>(unit_count);
  }
  return static_cast<std::ptrdiff_t>(stored);
}

// The typed characters whose bytes are exactly the first length bytes the
// console delivered, appended to wide; false when they are not.
bool typed_at_console(const char* bytes, std::size_t length, wchar_t* wide, std::size_t room) {
  std::size_t at = 0;
  std::size_t units = 0;
  for (std::size_t i = 0; i < typed_count && at < length; ++i) {
    const TypedCharacter& kept = typed[i];
    if (at + kept.byte_count > length ||
        std::memcmp(bytes + at, kept.bytes, kept.byte_count) != 0 ||
        units + kept.unit_count >= room) {
      return false;
    }
    std::memcpy(wide + units, kept.units, kept.unit_count * sizeof(wchar_t));
    units += kept.unit_count;
    at += kept.byte_count;
  }
  if (at != length) return false;
  wide[units] = L'\0';
  return true;
}

// Bytes in a code page as UTF-16, NUL-terminated; false when they do not fit.
bool decoded(UINT code_page, const char* bytes, std::size_t length, wchar_t* wide,
             std::size_t room) {
  int units = 0;
  if (length > 0) {
    units = MultiByteToWideChar(code_page, 0, bytes, static_cast<int>(length), wide,
                                static_cast<int>(room - 1));
    if (units <= 0) return false;
  }
  wide[units] = L'\0';
  return true;
}

// Names are at most a few hundred characters.
constexpr std::size_t NAME_UNITS = 1024;

// The name's UTF-16 text: the program's prefix in its own code page, then the
// typed part as typed at the console, or as the ANSI functions would read
// those bytes.
bool wide_name(const FileName& name, wchar_t* wide) {
  if (!decoded(text_code_page, name.bytes, name.fixed_prefix, wide, NAME_UNITS)) return false;
  const std::size_t prefix_units = std::wcslen(wide);
  const char* rest = name.bytes + name.fixed_prefix;
  const std::size_t length = std::strlen(rest);
  wchar_t* typed_part = wide + prefix_units;
  const std::size_t room = NAME_UNITS - prefix_units;
  if (console_input != INVALID_HANDLE_VALUE) {
    return typed_at_console(rest, length, typed_part, room) ||
           decoded(GetConsoleCP(), rest, length, typed_part, room);
  }
  return decoded(CP_ACP, rest, length, typed_part, room);
}

// A 32-bit program on 64-bit Windows sees SysWOW64 where the user names
// System32; the program's own opens, creates and deletes turn that off, so
// that a name means the folder the user sees.
BOOL under_wow64 = FALSE;

bool redirection_off(PVOID* previous) {
  return under_wow64 != FALSE && Wow64DisableWow64FsRedirection(previous) != 0;
}

void redirection_on(bool was_off, PVOID previous) {
  if (was_off) (void)Wow64RevertWow64FsRedirection(previous);
}

HANDLE create_file(const FileName& name, DWORD access, DWORD disposition) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide)) return INVALID_HANDLE_VALUE;
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  HANDLE file = CreateFileW(wide, access, SHARED_READ_WRITE, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  const DWORD error = GetLastError();
  redirection_on(off, previous);
  SetLastError(error);
  return file;
}

bool delete_file(const FileName& name) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide)) return false;
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  const bool deleted = DeleteFileW(wide) != 0;
  redirection_on(off, previous);
  return deleted;
}

// Fixed texts shown at a console as their characters. The standard output
// stream's buffer holds whole texts, no larger than this.
bool write_console(const unsigned char* bytes, std::size_t size) {
  wchar_t text[STANDARD_WRITE_UNITS];
  if (size > STANDARD_WRITE_UNITS) return false;
  const int units = MultiByteToWideChar(text_code_page, 0, reinterpret_cast<const char*>(bytes),
                                        static_cast<int>(size), text, STANDARD_WRITE_UNITS);
  if (units <= 0) return false;
  for (int done = 0; done < units;) {
    DWORD count = 0;
    if (WriteConsoleW(console_output, text + done, static_cast<DWORD>(units - done), &count,
                      nullptr) == 0 ||
        count == 0) {
      return false;
    }
    done += static_cast<int>(count);
  }
  return true;
}

}  // namespace

// No "insert a disk" or "file not found" dialog boxes: a console program
// answers with its own message. A Ctrl-C that the parent told this process to
// ignore never reaches the handler, so it stays ignored.
void os_start(TextEncoding texts) {
  text_code_page = texts == TextEncoding::shift_jis ? 932 : CP_UTF8;
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  InitializeCriticalSection(&draft_lock);
  (void)SetConsoleCtrlHandler(end_interrupted, TRUE);
  if (IsWow64Process(GetCurrentProcess(), &under_wow64) == 0) under_wow64 = FALSE;
}

FileHandle os_standard_input() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  console_input = console_or_invalid(input);
  return file_handle_of(input);
}
FileHandle os_standard_output() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  console_output = console_or_invalid(output);
  return file_handle_of(output);
}

// NUL is a character device too, but only a console has a console mode.
bool os_is_terminal(FileHandle handle) {
  return console_or_invalid(handle_of(handle)) != INVALID_HANDLE_VALUE;
}

// Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open at all.
bool os_open_read(const FileName& name, FileHandle* handle) {
  HANDLE file = create_file(name, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  *handle = file_handle_of(file);
  return true;
}

namespace {

// A colon in a name makes it a stream of another file on NTFS ("C:memo.txt"
// would be a stream of "br付き C"): never an output name.
bool names_a_stream(const wchar_t* wide) {
  return std::wcschr(wide, L':') != nullptr;
}

// What the name's folder part is: everything up to its last separator.
std::size_t folder_units(const wchar_t* wide) {
  std::size_t length = 0;
  for (std::size_t at = 0; wide[at] != L'\0'; ++at) {
    if (wide[at] == L'\\' || wide[at] == L'/') length = at + 1;
  }
  return length;
}

// ".brmark-" and six characters that differ from call to call, in the folder
// of wide; false when it does not fit.
bool form_draft_name(const wchar_t* wide) {
  static unsigned calls = 0;
  LARGE_INTEGER now{};
  (void)QueryPerformanceCounter(&now);
  unsigned long long mixed = static_cast<unsigned long long>(now.QuadPart) ^
                             static_cast<unsigned long long>(GetCurrentProcessId()) << 20 ^
                             ++calls * 40503ULL;
  const wchar_t digits[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  wchar_t tail[7];
  for (wchar_t& digit : tail) {
    digit = digits[mixed % 36];
    mixed /= 36;
  }
  tail[6] = L'\0';
  const std::size_t folder = folder_units(wide);
  if (folder + 16 > DRAFT_UNITS) return false;
  std::memcpy(draft_name, wide, folder * sizeof(wchar_t));
  (void)std::swprintf(draft_name + folder, DRAFT_UNITS - folder, L".brmark-%ls", tail);
  return true;
}

HANDLE create_draft_file() {
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  HANDLE file = CreateFileW(draft_name, GENERIC_WRITE | DELETE, SHARED_READ_WRITE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  const DWORD error = GetLastError();
  redirection_on(off, previous);
  SetLastError(error);
  return file;
}

bool identify(HANDLE file, std::uint64_t* identity) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) return false;
  identity[0] = information.dwVolumeSerialNumber;
  identity[1] =
      static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return true;
}

// Created hidden, so that nobody takes it for the copy; the copy itself is
// not: the attribute goes before it is published (a rename keeps it).
bool show(HANDLE file) {
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) == 0) return false;
  const DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
  basic = FILE_BASIC_INFO{};  // times of 0 stay as they are
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Renames the open file to target, never replacing what stands there.
bool rename_never_replacing(HANDLE file, const wchar_t* target) {
  // The request's name runs on past the first structure, into the others.
  constexpr std::size_t COUNT = 2 + NAME_UNITS * sizeof(wchar_t) / sizeof(FILE_RENAME_INFO);
  FILE_RENAME_INFO requests[COUNT] = {};
  FILE_RENAME_INFO& request = requests[0];
  const std::size_t length = std::wcslen(target);
  if (length >= NAME_UNITS) return false;
  request.ReplaceIfExists = FALSE;
  request.RootDirectory = nullptr;
  request.FileNameLength = static_cast<DWORD>(length) * static_cast<DWORD>(sizeof(wchar_t));
  std::memcpy(request.FileName, target, (length + 1) * sizeof(wchar_t));
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  const bool renamed = SetFileInformationByHandle(file, FileRenameInfo, requests,
                                                  static_cast<DWORD>(sizeof requests)) != 0;
  const DWORD error = GetLastError();
  redirection_on(off, previous);
  SetLastError(error);
  return renamed;
}

// A virus scanner or an indexer may hold the new file for a moment: a refusal
// for sharing is tried again for up to a second.
StepResult publish_by_rename(HANDLE file, const wchar_t* target) {
  for (int attempt = 0;; ++attempt) {
    if (rename_never_replacing(file, target)) return StepResult::done;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return StepResult::name_taken;
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 20) {
      return StepResult::failed;
    }
    Sleep(50);
  }
}

StepResult publish_draft(HANDLE file, const FileName& name) {
  wchar_t wide[NAME_UNITS];
  wchar_t full[NAME_UNITS];
  if (!wide_name(name, wide)) return StepResult::failed;
  const DWORD length = GetFullPathNameW(wide, NAME_UNITS, full, nullptr);
  if (length == 0 || length >= NAME_UNITS) return StepResult::failed;
  // A mark that cannot be cleared would take the copy with it at the close.
  if (draft_marked && !delete_on_close(file, false)) return StepResult::failed;
  draft_marked = false;
  if (!show(file)) return StepResult::failed;
  return publish_by_rename(file, full);
}

bool delete_draft_name() {
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  const bool deleted = DeleteFileW(draft_name) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
  redirection_on(off, previous);
  return deleted;
}

}  // namespace

NameState os_name_state(const FileName& name) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide) || names_a_stream(wide)) return NameState::unusable;
  PVOID previous = nullptr;
  const bool off = redirection_off(&previous);
  const DWORD attributes = GetFileAttributesW(wide);
  const DWORD error = GetLastError();
  redirection_on(off, previous);
  if (attributes != INVALID_FILE_ATTRIBUTES) return NameState::taken;
  const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  return missing ? NameState::absent : NameState::unusable;
}

// Windows writes aside and renames; the file's permissions are the folder's,
// as for any new file, so like is not needed.
StepResult os_open_draft(DraftWay way, const FileName& name, FileHandle /*like*/, Draft* draft) {
  if (way != DraftWay::aside_rename) return StepResult::unavailable;
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide) || names_a_stream(wide)) return StepResult::failed;
  EnterCriticalSection(&draft_lock);
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    if (!form_draft_name(wide)) break;
    file = create_draft_file();
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  interrupt_removes = file;
  LeaveCriticalSection(&draft_lock);
  if (file == INVALID_HANDLE_VALUE) return StepResult::failed;
  draft_marked = delete_on_close(file, true);
  draft->handle = file_handle_of(file);
  draft->way = way;
  draft->aside[0] = '\0';
  if (!identify(file, draft->identity)) draft->identity[0] = draft->identity[1] = 0;
  return StepResult::done;
}

StepResult os_publish_draft(Draft* draft, const FileName& name) {
  EnterCriticalSection(&draft_lock);
  const StepResult published = publish_draft(handle_of(draft->handle), name);
  if (published == StepResult::done) interrupt_removes = INVALID_HANDLE_VALUE;
  LeaveCriticalSection(&draft_lock);
  return published;
}

// After the close: a draft that carried the mark is gone already.
bool os_discard_draft(const Draft& /*draft*/, const FileName& /*name*/) {
  EnterCriticalSection(&draft_lock);
  interrupt_removes = INVALID_HANDLE_VALUE;
  LeaveCriticalSection(&draft_lock);
  return delete_draft_name();
}

bool os_name_holds(const FileName& name, const Draft& draft) {
  HANDLE file = create_file(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::uint64_t identity[2] = {};
  const bool same = identify(file, identity) && identity[0] == draft.identity[0] &&
                    identity[1] == draft.identity[1];
  (void)CloseHandle(file);
  return same;
}

bool os_remove_published(const FileName& name, const Draft& draft) {
  return !os_name_holds(name, draft) || delete_file(name);
}

// A pipe whose writer has gone reports ERROR_BROKEN_PIPE: that is its end,
// not an error.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size) {
  if (handle_of(handle) == console_input) return read_console(buffer, size);
  DWORD count = 0;
  if (ReadFile(handle_of(handle), buffer, transfer_size(size), &count, nullptr) != 0) {
    return static_cast<std::ptrdiff_t>(count);
  }
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
  if (handle_of(handle) == console_output) return write_console(bytes, size);
  while (size > 0) {
    DWORD count = 0;
    if (WriteFile(handle_of(handle), bytes, transfer_size(size), &count, nullptr) == 0 ||
        count == 0) {
      return false;
    }
    bytes += count;
    size -= count;
  }
  return true;
}

bool os_close(FileHandle handle) {
  return CloseHandle(handle_of(handle)) != 0;
}

void os_exit(int status) {
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace brmark
