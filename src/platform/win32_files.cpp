// Win32: the files. Names are opened by their UTF-16 text, built from the
// characters the name's bytes stand for; the bytes in files and pipes are
// never converted. The output is written aside, under a hidden name, and
// renamed to its name once whole, never replacing anything.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/win32.h"

namespace brmark {

namespace {

// Other programs may read and write the files meanwhile, as with any
// ordinary copy.
constexpr DWORD SHARED_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The largest transfer asked of ReadFile or WriteFile at once; their counts
// are DWORDs.
constexpr std::size_t MAX_TRANSFER = std::size_t{1} << 30;

DWORD transfer_size(std::size_t size) {
  return static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
}

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

// Appends a character as UTF-16; false when it does not fit.
bool append_character(Character character, wchar_t* wide, std::size_t* units) {
  const std::size_t needed = character > 0xFFFF ? 2 : 1;
  if (*units + needed >= NAME_UNITS) return false;
  if (needed == 1) {
    wide[(*units)++] = static_cast<wchar_t>(character);
    return true;
  }
  wide[(*units)++] = static_cast<wchar_t>(0xD800 + ((character - 0x10000) >> 10));
  wide[(*units)++] = static_cast<wchar_t>(0xDC00 + ((character - 0x10000) & 0x3FF));
  return true;
}

// Appends bytes of unknown characters as the ANSI functions would read them.
bool append_bytes(const char* bytes, std::size_t length, wchar_t* wide, std::size_t* units) {
  if (length == 0) return true;
  if (!decoded(CP_ACP, bytes, length, wide + *units, NAME_UNITS - *units)) return false;
  *units += std::wcslen(wide + *units);
  return true;
}

// The name's UTF-16 text: its known characters as they are, each run of
// bytes whose characters are unknown as the ANSI code page reads it.
bool wide_name(const FileName& name, wchar_t* wide) {
  std::size_t units = 0;
  std::size_t unknown_from = 0;
  std::size_t at = 0;
  for (; name.bytes[at] != '\0'; ++at) {
    const Character character =
        name.characters != nullptr ? name.characters[at] : UNKNOWN_CHARACTER;
    if (character == UNKNOWN_CHARACTER) continue;
    if (!append_bytes(name.bytes + unknown_from, at - unknown_from, wide, &units)) return false;
    unknown_from = at + 1;
    if (character != INSIDE_CHARACTER && !append_character(character, wide, &units)) return false;
  }
  if (!append_bytes(name.bytes + unknown_from, at - unknown_from, wide, &units)) return false;
  wide[units] = L'\0';
  return true;
}

// A 32-bit program on 64-bit Windows sees SysWOW64 where the user names
// System32; the program's own opens, creates and deletes turn that off, so
// that a name means the folder the user sees.
BOOL under_wow64 = FALSE;

// Runs call with the redirection off, and leaves the error the call left,
// not the one of turning the redirection back on.
template <class Call>
auto with_redirection_off(Call call) {
  PVOID previous = nullptr;
  const bool off = under_wow64 != FALSE && Wow64DisableWow64FsRedirection(&previous) != 0;
  const auto result = call();
  const DWORD error = GetLastError();
  if (off) (void)Wow64RevertWow64FsRedirection(previous);
  SetLastError(error);
  return result;
}

HANDLE create_wide(const wchar_t* wide, DWORD access, DWORD disposition, DWORD attributes) {
  return with_redirection_off([&] {
    return CreateFileW(wide, access, SHARED_READ_WRITE, nullptr, disposition,
                       attributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  });
}

bool delete_wide(const wchar_t* wide) {
  return with_redirection_off([&] { return DeleteFileW(wide) != 0; });
}

HANDLE create_file(const FileName& name, DWORD access, DWORD disposition) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide)) return INVALID_HANDLE_VALUE;
  return create_wide(wide, access, disposition, FILE_ATTRIBUTE_NORMAL);
}

bool delete_file(const FileName& name) {
  wchar_t wide[NAME_UNITS];
  return wide_name(name, wide) && delete_wide(wide);
}

}  // namespace

void start_files() {
  InitializeCriticalSection(&draft_lock);
  if (IsWow64Process(GetCurrentProcess(), &under_wow64) == 0) under_wow64 = FALSE;
}

void drop_draft_at_exit() {
  EnterCriticalSection(&draft_lock);
  if (interrupt_removes != INVALID_HANDLE_VALUE) mark_for_deletion(interrupt_removes);
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
  return with_redirection_off([&] {
    return SetFileInformationByHandle(file, FileRenameInfo, requests,
                                      static_cast<DWORD>(sizeof requests)) != 0;
  });
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
  return delete_wide(draft_name) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

NameState os_name_state(const FileName& name) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide) || names_a_stream(wide)) return NameState::unusable;
  const DWORD attributes = with_redirection_off([&] { return GetFileAttributesW(wide); });
  const DWORD error = GetLastError();
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
    file = create_wide(draft_name, GENERIC_WRITE | DELETE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
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
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size,
                       Character* characters) {
  if (is_console_input(handle_of(handle))) return read_console(buffer, size, characters);
  DWORD count = 0;
  if (ReadFile(handle_of(handle), buffer, transfer_size(size), &count, nullptr) != 0) {
    if (characters != nullptr) {
      for (DWORD at = 0; at < count; ++at) characters[at] = UNKNOWN_CHARACTER;
    }
    return static_cast<std::ptrdiff_t>(count);
  }
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
  if (is_console_output(handle_of(handle))) return write_console(bytes, size);
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

}  // namespace brmark
