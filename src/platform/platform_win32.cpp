// Win32 implementation of the platform services.
//
// Names are handed to the ...A functions exactly as typed: they are bytes in
// the console's code page, and converting them would only add a way to fail.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

// True once the output stands under its name for good: only then may a
// failure delete that name.
bool output_named = false;

// A file marked for deletion is removed by the system when its last handle
// closes, however the process ends: Ctrl-C, End task, log-off or a crash.
bool mark_for_deletion(HANDLE file, bool deletion) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deletion ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Ctrl-C, Ctrl-Break and closing the console end the process with the status
// Windows gives an interrupted program, whatever the host's default handler
// does (Wine's exits with 0). An unfinished output needs nothing here: the
// system removes it as the process ends.
BOOL WINAPI end_interrupted(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

// No "insert a disk" or "file not found" dialog boxes: a console program
// answers with its own message. A Ctrl-C that the parent told this process to
// ignore never reaches the handler, so it stays ignored.
void os_start() {
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  (void)SetConsoleCtrlHandler(end_interrupted, TRUE);
}

FileHandle os_standard_input() {
  return file_handle_of(GetStdHandle(STD_INPUT_HANDLE));
}
FileHandle os_standard_output() {
  return file_handle_of(GetStdHandle(STD_OUTPUT_HANDLE));
}

// NUL is a character device too, but only a console has a console mode.
bool os_is_terminal(FileHandle handle) {
  DWORD mode = 0;
  return GetFileType(handle_of(handle)) == FILE_TYPE_CHAR &&
         GetConsoleMode(handle_of(handle), &mode) != 0;
}

// Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open at all.
bool os_open_read(const char* name, FileHandle* handle) {
  HANDLE file = CreateFileA(name, GENERIC_READ, SHARED_READ_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *handle = file_handle_of(file);
  return true;
}

// Opening a pipe's name never waits on Windows: the two tests are one.
bool os_open_probe(const char* name, FileHandle* handle) {
  return os_open_read(name, handle);
}

// CREATE_NEW fails on anything already at the name, a directory included.
// The file's permissions are the folder's, as for any new file; like is not
// needed.
CreateResult os_create_output(const char* name, FileHandle /*like*/, FileHandle* handle) {
  output_named = false;
  HANDLE file = CreateFileA(name, GENERIC_WRITE | DELETE, SHARED_READ_WRITE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return exists ? CreateResult::name_exists : CreateResult::failed;
  }
  // Unmarked, an ended process could leave it half-written: never copy so.
  if (!mark_for_deletion(file, true)) {
    (void)CloseHandle(file);
    (void)DeleteFileA(name);
    return CreateResult::failed;
  }
  *handle = file_handle_of(file);
  return CreateResult::created;
}

// The name has been the file's since its creation: what keeps it now is the
// cleared mark.
CreateResult os_name_output(FileHandle handle, const char* /*name*/) {
  if (!mark_for_deletion(handle_of(handle), false)) return CreateResult::failed;
  output_named = true;
  return CreateResult::created;
}

bool os_finish_output(const char* name, bool keep) {
  const bool removed = keep || !output_named || DeleteFileA(name) != 0;
  output_named = false;
  return removed;
}

// A pipe whose writer has gone reports ERROR_BROKEN_PIPE: that is its end,
// not an error.
std::ptrdiff_t os_read(FileHandle handle, unsigned char* buffer, std::size_t size) {
  DWORD count = 0;
  if (ReadFile(handle_of(handle), buffer, transfer_size(size), &count, nullptr) != 0) {
    return static_cast<std::ptrdiff_t>(count);
  }
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

bool os_write_all(FileHandle handle, const unsigned char* bytes, std::size_t size) {
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
