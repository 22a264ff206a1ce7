// System error text on Windows: GetLastError and FormatMessageA.
#include "console/console.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

// FormatMessageA gives the text in the system's ANSI code page, while a
// console shows the bytes a program writes in its own output code page, the
// OEM one unless changed: the accented letters of a German or French text
// came out garbled. On a console the line is written as UTF-16, which the
// console shows as the system wrote it whatever its code page. False when
// standard output is no console: a file or a pipe then gets the bytes as the
// system gave them, like any Windows program's text.
static bool print_on_console(DWORD code, const char *text) {
  // The handle printf writes to, which the C runtime keeps as an integer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  auto *const output = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  DWORD console_mode = 0;
  if (GetConsoleMode(output, &console_mode) == FALSE) return false;
  char line[300];
  const int line_length = std::snprintf(line, sizeof line, "err %ld: %s\n", static_cast<long>(code), text);
  if (line_length <= 0 || static_cast<std::size_t>(line_length) >= sizeof line) return false;
  wchar_t wide[300];
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, line, line_length, wide, 300);
  if (wide_length == 0) return false;
  // Whatever standard output still holds goes first. On a console the C
  // runtime writes each printf through at once anyway, so this flushes
  // nothing that printing the line with printf would have left waiting.
  std::fflush(stdout);
  DWORD written = 0;
  return WriteConsoleW(output, wide, static_cast<DWORD>(wide_length), &written, nullptr) != FALSE;
}

void print_system_error() {
  const DWORD code = GetLastError();
  char text[256];
  // Without FORMAT_MESSAGE_IGNORE_INSERTS a system text with %1-style inserts
  // would make the call read an argument list that is not there. With it the
  // inserts are kept as they stand.
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      text, sizeof text, nullptr);
  // With no text for the code the buffer is never filled: say so rather than
  // print whatever the stack held.
  const char *shown = length != 0 ? text : "Unknown error";
  if (!print_on_console(code, shown)) std::printf("err %ld: %s\n", static_cast<long>(code), shown);
}
