// Win32: the files. Names are opened by their UTF-16 text, built from the
// characters the name's bytes stand for; the bytes in files and pipes are
// never converted.
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

// The classic deletion mark: once it is set, the only thing done with the
// handle is its close, which the end of the process makes.
bool mark_for_deletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Windows 10 1709 and later have a deletion mark under which writing goes on
// as usual, set and cleared by FileDispositionInfoEx with
// FILE_DISPOSITION_FLAG_ON_CLOSE: a file so marked goes however the process
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

// The 128-bit file number of Windows 8 and later, which ReFS needs; older
// headers lack the names.
constexpr auto FILE_ID_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInfo {
  ULONGLONG volume;
  BYTE id[16];
};

// What an interrupt removes: an open file by its handle, which systems and
// file systems that take the Ex mark also remove however the process ends
// (elsewhere, Wine among them, a run killed outright may leave it, never
// anything under the copy's name); or a closed one by its name, while it
// holds that file. The handler runs on a thread of its own: it and every
// change hold armed_lock.
struct Armed {
  HANDLE handle;
  bool marked;
  FileName name;
  FileIdentity identity;
};
CRITICAL_SECTION armed_lock;
Armed armed[MAX_REMOVALS];
int armed_count = 0;
// Set by the handler before it waits for the lock.
volatile LONG interrupted = 0;

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

HANDLE create_file(const FileName& name, DWORD access, DWORD disposition) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide)) return INVALID_HANDLE_VALUE;
  return create_wide(wide, access, disposition, FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

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

// Opened to look at or remove the name itself: a link there is not
// followed, a folder is opened too, and nobody else's use stands in the way.
HANDLE open_name_itself(const FileName& name, DWORD access) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide)) return INVALID_HANDLE_VALUE;
  return with_redirection_off([&] {
    return CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  });
}

bool identify(HANDLE file, FileIdentity* identity) {
  FileIdInfo id{};
  if (GetFileInformationByHandleEx(file, FILE_ID_INFO_CLASS, &id, sizeof id) != 0) {
    std::uint64_t halves[2] = {};
    std::memcpy(halves, id.id, sizeof halves);
    *identity = FileIdentity{id.volume, {halves[0], halves[1]}};
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) return false;
  *identity = FileIdentity{
      information.dwVolumeSerialNumber,
      {static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow,
       0}};
  return true;
}

// Renames the open file to the full path of to; a virus scanner or an
// indexer may hold the new file for a moment, so a refusal for sharing is
// tried again for up to a second.
NameResult rename_open_file(HANDLE file, const FileName& to, bool replacing) {
  wchar_t wide[NAME_UNITS];
  wchar_t full[NAME_UNITS];
  if (!wide_name(to, wide)) return NameResult::failed;
  const DWORD length = GetFullPathNameW(wide, NAME_UNITS, full, nullptr);
  if (length == 0 || length >= NAME_UNITS) return NameResult::failed;
  // The request's name runs on past the first structure, into the others.
  constexpr std::size_t COUNT = 2 + NAME_UNITS * sizeof(wchar_t) / sizeof(FILE_RENAME_INFO);
  FILE_RENAME_INFO requests[COUNT] = {};
  FILE_RENAME_INFO& request = requests[0];
  request.ReplaceIfExists = replacing ? TRUE : FALSE;
  request.RootDirectory = nullptr;
  request.FileNameLength = length * static_cast<DWORD>(sizeof(wchar_t));
  std::memcpy(request.FileName, full, (length + 1) * sizeof(wchar_t));
  for (int attempt = 0;; ++attempt) {
    const bool renamed = with_redirection_off([&] {
      return SetFileInformationByHandle(file, FileRenameInfo, requests,
                                        static_cast<DWORD>(sizeof requests)) != 0;
    });
    if (renamed) return NameResult::done;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return NameResult::taken;
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
        error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SAME_DEVICE) {
      return NameResult::unsupported;
    }
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 20) {
      return NameResult::failed;
    }
    Sleep(50);
  }
}

}  // namespace

// By the file's own deletion mark, on the very file the name was opened to.
bool os_remove_if_same(const FileName& name, const FileIdentity& identity) {
  HANDLE removal = open_name_itself(name, DELETE | FILE_READ_ATTRIBUTES);
  if (removal == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  FileIdentity there{};
  bool removed = identify(removal, &there);
  if (removed && same_file(there, identity)) removed = mark_for_deletion(removal);
  return CloseHandle(removal) != 0 && removed;
}

void start_files() {
  InitializeCriticalSection(&armed_lock);
  if (IsWow64Process(GetCurrentProcess(), &under_wow64) == 0) under_wow64 = FALSE;
}

void remove_armed_at_exit() {
  (void)InterlockedExchange(&interrupted, 1);
  EnterCriticalSection(&armed_lock);
  for (int at = 0; at < armed_count; ++at) {
    if (armed[at].handle != INVALID_HANDLE_VALUE) {
      (void)mark_for_deletion(armed[at].handle);
    } else {
      (void)os_remove_if_same(armed[at].name, armed[at].identity);
    }
  }
}

void os_hold_interrupts() {
  EnterCriticalSection(&armed_lock);
}

void os_release_interrupts() {
  LeaveCriticalSection(&armed_lock);
}

bool os_interrupt_pending() {
  return InterlockedCompareExchange(&interrupted, 0, 0) != 0;
}

void os_arm_removal(const FileName& name, FileHandle handle, const FileIdentity& identity) {
  EnterCriticalSection(&armed_lock);
  if (armed_count < MAX_REMOVALS) {
    HANDLE file = handle != 0 ? handle_of(handle) : INVALID_HANDLE_VALUE;
    const bool marked = file != INVALID_HANDLE_VALUE && delete_on_close(file, true);
    armed[armed_count++] = Armed{file, marked, name, identity};
  }
  LeaveCriticalSection(&armed_lock);
}

// A mark that cannot be cleared would take the file with it at its close.
bool os_disarm_removals() {
  EnterCriticalSection(&armed_lock);
  bool cleared = true;
  for (int at = 0; at < armed_count; ++at) {
    if (armed[at].marked) cleared = delete_on_close(armed[at].handle, false) && cleared;
  }
  armed_count = 0;
  LeaveCriticalSection(&armed_lock);
  return cleared;
}

NameState os_name_state(const FileName& name, FileIdentity* identity) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide) || names_a_stream(wide)) return NameState::unusable;
  const DWORD attributes = with_redirection_off([&] { return GetFileAttributesW(wide); });
  const DWORD error = GetLastError();
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return missing ? NameState::absent : NameState::unusable;
  }
  if (identity != nullptr) {
    *identity = FileIdentity{};
    HANDLE file = open_name_itself(name, FILE_READ_ATTRIBUTES);
    if (file != INVALID_HANDLE_VALUE) {
      (void)identify(file, identity);
      (void)CloseHandle(file);
    }
  }
  return NameState::taken;
}

// A separator is a byte of its own only where it begins a character: in a
// name whose characters are unknown, the second byte of a double-byte
// character of the ANSI code page may look like one.
std::size_t os_folder_length(const FileName& name) {
  std::size_t folder = 0;
  for (std::size_t at = 0; name.bytes[at] != '\0'; ++at) {
    const Character character =
        name.characters != nullptr ? name.characters[at] : UNKNOWN_CHARACTER;
    const auto byte = static_cast<unsigned char>(name.bytes[at]);
    if (character == UNKNOWN_CHARACTER && IsDBCSLeadByte(byte) != 0 && name.bytes[at + 1] != '\0') {
      ++at;
      continue;
    }
    const bool separator = character == UNKNOWN_CHARACTER ? byte == '\\' || byte == '/'
                                                          : character == U'\\' || character == U'/';
    if (separator) folder = at + 1;
  }
  return folder;
}

std::uint64_t os_name_seed() {
  static std::uint64_t calls = 0;
  LARGE_INTEGER now{};
  (void)QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart) ^
         static_cast<std::uint64_t>(GetCurrentProcessId()) << 20 ^ ++calls * 40503U;
}

NameResult os_open_unnamed(const FileName& /*name*/, FileHandle* /*handle*/) {
  return NameResult::unsupported;
}

// A new file has its folder's permissions, as any new file on Windows.
NameResult os_create_new(const FileName& name, bool hidden, FileHandle* handle) {
  wchar_t wide[NAME_UNITS];
  if (!wide_name(name, wide) || names_a_stream(wide)) return NameResult::failed;
  HANDLE file = create_wide(wide, GENERIC_WRITE | DELETE, CREATE_NEW,
                            hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return taken ? NameResult::taken : NameResult::failed;
  }
  *handle = file_handle_of(file);
  return NameResult::done;
}

bool os_handle_identity(FileHandle handle, FileIdentity* identity) {
  return identify(handle_of(handle), identity);
}

void os_carry_permissions(FileHandle /*like*/, FileHandle /*handle*/) {}

// Created hidden, so that nobody takes it for the copy; the copy itself is
// not: the attribute goes before it is named (a rename keeps it).
bool os_unhide(FileHandle handle) {
  HANDLE file = handle_of(handle);
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) == 0) return false;
  const DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
  basic = FILE_BASIC_INFO{};  // times of 0 stay as they are
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

bool os_flush_to_storage(FileHandle handle) {
  return FlushFileBuffers(handle_of(handle)) != 0;
}

// Windows has no call that starts storing a range early; the flush stores
// it all.
void os_start_storing(FileHandle /*handle*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) {}

// Windows flushes no folder for a program without backup rights; the file's
// own flush after its rename stores what names it: NTFS commits its journal,
// which holds the new name, and FAT and exFAT write the file's folder entry.
// A file renamed closed has no handle left to flush by.
bool os_flush_folder(const FileName& /*name*/, FileHandle handle) {
  return handle == 0 || FlushFileBuffers(handle_of(handle)) != 0;
}

// A hard link would share the draft's hidden mark; Windows renames instead.
NameResult os_link_new(FileHandle /*handle*/, const FileName* /*from*/, const FileName& /*to*/) {
  return NameResult::unsupported;
}

NameResult os_rename_new(FileHandle handle, const FileName& from, const FileName& to) {
  if (handle != 0) return rename_open_file(handle_of(handle), to, false);
  wchar_t wide_from[NAME_UNITS];
  wchar_t wide_to[NAME_UNITS];
  if (!wide_name(from, wide_from) || !wide_name(to, wide_to)) return NameResult::failed;
  if (with_redirection_off([&] { return MoveFileExW(wide_from, wide_to, 0); }) != 0) {
    return NameResult::done;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return NameResult::taken;
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ? NameResult::unsupported
                                                                         : NameResult::failed;
}

NameResult os_rename_over(FileHandle handle, const FileName& /*from*/, const FileName& to) {
  return rename_open_file(handle_of(handle), to, true);
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
