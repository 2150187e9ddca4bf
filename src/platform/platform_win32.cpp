// Win32 implementation of the platform services.
//
// Names are handed to the ...A functions exactly as typed: they are bytes in
// the console's code page, and converting them would only add a way to fail.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

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

// The unfinished output, for the console control handler, which Windows runs
// on a thread of its own. The lock makes "create and record" and "release"
// single steps as seen from the handler, as blocked signals do on POSIX.
CRITICAL_SECTION guard;
char unfinished_name[MAX_PATH + 1];
bool unfinished = false;

// Ctrl-C, Ctrl-Break and closing the console window end the process as they
// always would, with the status Windows gives an interrupted program, but
// never leave an unfinished output behind. The lock is never released: the
// copy can neither finish nor report success before the process is gone. The
// output is shared for deletion, so the delete succeeds while the copy still
// holds it open; the file goes when the process ends and its handles close.
// A handler has nobody to report a failure to.
BOOL WINAPI remove_unfinished_and_end(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  EnterCriticalSection(&guard);
  if (unfinished) (void)DeleteFileA(unfinished_name);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

// No "insert a disk" or "file not found" dialog boxes: a console program
// answers with its own message. A Ctrl-C that the parent told this process to
// ignore never reaches the handler, so it stays ignored.
void os_start() {
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  InitializeCriticalSection(&guard);
  (void)SetConsoleCtrlHandler(remove_unfinished_and_end, TRUE);
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
CreateResult os_create_exclusive(const char* name, FileHandle* handle) {
  const std::size_t length = std::strlen(name);
  if (length >= sizeof unfinished_name) return CreateResult::failed;
  EnterCriticalSection(&guard);
  HANDLE file = CreateFileA(name, GENERIC_WRITE, SHARED_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  const DWORD error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) {
    std::memcpy(unfinished_name, name, length + 1);
    unfinished = true;
  }
  LeaveCriticalSection(&guard);
  if (file == INVALID_HANDLE_VALUE) {
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return exists ? CreateResult::name_exists : CreateResult::failed;
  }
  *handle = file_handle_of(file);
  return CreateResult::created;
}

void os_release_created() {
  EnterCriticalSection(&guard);
  unfinished = false;
  LeaveCriticalSection(&guard);
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

bool os_remove(const char* name) {
  return DeleteFileA(name) != 0;
}

void os_exit(int status) {
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace brmark
