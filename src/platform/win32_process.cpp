// Win32: the process, from its start to its end, and Ctrl-C.
#include "platform/win32.h"

namespace brmark {

namespace {

// Ctrl-C, Ctrl-Break and closing the console end the process with the status
// Windows gives an interrupted program, whatever the host's default handler
// does (Wine's exits with 0), and take what the output's life armed with
// them.
// The handler runs on a thread of its own.
BOOL WINAPI end_interrupted(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  remove_armed_at_exit();
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

// No "insert a disk" or "file not found" dialog boxes: a console program
// answers with its own message. A Ctrl-C that the parent told this process to
// ignore never reaches the handler, so it stays ignored.
void os_start(TextEncoding console_text) {
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  start_files();
  start_console(console_text);
  (void)SetConsoleCtrlHandler(end_interrupted, TRUE);
}

void os_exit(int status) {
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace brmark
