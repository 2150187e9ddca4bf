// Win32: the console's text. The console works in UTF-16 characters, the
// program in bytes: a typed line is delivered as the bytes of the console's
// input code page together with the characters they stand for, and the
// program's texts are shown as their characters, so that both are right
// whatever code page the system or the console uses.
#include <cstdint>
#include <cstring>

#include "platform/win32.h"

namespace brmark {

namespace {

// A console read goes through UTF-16 units: a character of 1 unit takes at
// most 3 bytes, one of 2 units at most 4, so a third of the byte room.
constexpr std::size_t READ_UNITS = CONSOLE_TRANSFER / 3;
constexpr int WRITE_UNITS = static_cast<int>(CONSOLE_TRANSFER);

// How the bytes written to the console read as characters.
UINT text_code_page = 932;

// The standard streams when they are consoles, else INVALID_HANDLE_VALUE.
HANDLE console_input = INVALID_HANDLE_VALUE;
HANDLE console_output = INVALID_HANDLE_VALUE;

// NUL is a character device too, but only a console has a console mode.
HANDLE console_or_invalid(HANDLE handle) {
  DWORD mode = 0;
  const bool console = GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
  return console ? handle : INVALID_HANDLE_VALUE;
}

// The bytes of one character in the console's code page. A character that
// the code page cannot hold becomes one '?' rather than a look-alike (the
// best-fit conversion would turn é into e): it counts as one byte toward the
// name's limit and is opened as typed, by its character.
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

Character character_of(const wchar_t* units, int unit_count) {
  if (unit_count == 1) return static_cast<Character>(units[0]);
  return 0x10000 + ((static_cast<Character>(units[0]) - 0xD800) << 10) +
         (static_cast<Character>(units[1]) - 0xDC00);
}

// Where the bytes of a console read go: as many whole characters as fit,
// each byte beside the character it belongs to; once one does not fit,
// nothing more of the line is kept.
struct LineBytes {
  unsigned char* buffer;
  Character* characters;
  std::size_t size;
  std::size_t stored;
  bool full;
};

void keep(LineBytes* line, const wchar_t* units, int unit_count, UINT code_page) {
  unsigned char bytes[4];
  const auto count = static_cast<std::size_t>(console_bytes(code_page, units, unit_count, bytes));
  line->full = line->full || line->stored + count > line->size;
  if (line->full) return;
  std::memcpy(line->buffer + line->stored, bytes, count);
  if (line->characters != nullptr) {
    line->characters[line->stored] = character_of(units, unit_count);
    for (std::size_t at = 1; at < count; ++at) {
      line->characters[line->stored + at] = INSIDE_CHARACTER;
    }
  }
  line->stored += count;
}

void keep_units(LineBytes* line, const wchar_t* units, DWORD count, UINT code_page) {
  for (DWORD at = 0; at < count;) {
    const bool pair =
        IS_HIGH_SURROGATE(units[at]) && at + 1 < count && IS_LOW_SURROGATE(units[at + 1]);
    const int unit_count = pair ? 2 : 1;
    keep(line, units + at, unit_count, code_page);
    at += static_cast<DWORD>(unit_count);
  }
}

}  // namespace

void start_console(TextEncoding console_text) {
  text_code_page = console_text == TextEncoding::shift_jis ? 932 : CP_UTF8;
}

bool is_console_input(HANDLE handle) {
  return handle == console_input;
}

bool is_console_output(HANDLE handle) {
  return handle == console_output;
}

// The console hands over a line longer than asked in pieces, the rest
// waiting for the next reader of the console, which may be the shell that
// started the program: so the whole line is taken, up to its line end, and
// what does not fit the buffer is dropped, as a terminal's line discipline
// drops what its line buffer does not hold.
std::ptrdiff_t read_console(unsigned char* buffer, std::size_t size, Character* characters) {
  wchar_t units[READ_UNITS];
  const std::size_t asked = size / 3 < READ_UNITS ? size / 3 : READ_UNITS;
  const UINT code_page = GetConsoleCP();
  LineBytes line{};
  line.buffer = buffer;
  line.characters = characters;
  line.size = size;
  for (;;) {
    DWORD count = 0;
    if (ReadConsoleW(console_input, units, static_cast<DWORD>(asked), &count, nullptr) == 0) {
      return line.stored > 0 ? static_cast<std::ptrdiff_t>(line.stored) : -1;
    }
    keep_units(&line, units, count, code_page);
    if (count < asked || units[count - 1] == L'\n') break;
  }
  return static_cast<std::ptrdiff_t>(line.stored);
}

// The standard output stream's buffer holds whole texts, no larger than this.
bool write_console(const unsigned char* bytes, std::size_t size) {
  wchar_t text[WRITE_UNITS];
  if (size > CONSOLE_TRANSFER) return false;
  const int units = MultiByteToWideChar(text_code_page, 0, reinterpret_cast<const char*>(bytes),
                                        static_cast<int>(size), text, WRITE_UNITS);
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

bool os_is_terminal(FileHandle handle) {
  return console_or_invalid(handle_of(handle)) != INVALID_HANDLE_VALUE;
}

}  // namespace brmark
