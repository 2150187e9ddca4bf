// What the Win32 files of the platform layer offer each other: the console's
// text (win32_console.cpp), the files (win32_files.cpp) and the process
// (win32_process.cpp). Included only by them.
#ifndef BRMARK_PLATFORM_WIN32_H
#define BRMARK_PLATFORM_WIN32_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

namespace brmark {

// FileHandle holds the HANDLE's bits, so the cast back is exact.
inline HANDLE handle_of(FileHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}
inline FileHandle file_handle_of(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// The console: how the bytes written to it read as characters.
void start_console(TextEncoding console_text);
// Whether handle is standard input or output and a console.
bool is_console_input(HANDLE handle);
bool is_console_output(HANDLE handle);
// One console line, as os_read gives it.
std::ptrdiff_t read_console(unsigned char* buffer, std::size_t size, Character* characters);
// Bytes of the console text's encoding, shown as their characters.
bool write_console(const unsigned char* bytes, std::size_t size);

// The files: what they need to know before the first is opened.
void start_files();
// For an interrupt that ends the process: what is armed goes with it, and
// every change to that waits from then on, until the process has ended.
void remove_armed_at_exit();

}  // namespace brmark

#endif
