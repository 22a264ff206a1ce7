// System error text on Windows: GetLastError and FormatMessageA.
#include "console/console.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

// FormatMessageA writes the text in the system's ANSI code page, but a
// console shows bytes in its own output code page, the OEM one unless
// changed: a German or French text would show its accented letters
// garbled. On a console the text is turned into the console's code page,
// so it shows as the system wrote it; written to a file or a pipe it stays
// in the ANSI code page, as Windows programs read text there. A letter the
// console's code page lacks becomes its closest form or a question mark.
static const char *as_console_shows_it(const char *text, int length, char *converted, int converted_size) {
  DWORD console_mode = 0;
  // The handle printf writes to, which the C runtime keeps as an integer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  auto *const output = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  const UINT console_code_page = GetConsoleOutputCP();
  if (GetConsoleMode(output, &console_mode) == FALSE || console_code_page == 0 || console_code_page == GetACP()) {
    return text;
  }
  wchar_t wide[256];
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, text, length, wide, 256);
  const int converted_length = wide_length == 0 ? 0
                                                : WideCharToMultiByte(console_code_page, 0, wide, wide_length,
                                                                      converted, converted_size - 1, nullptr, nullptr);
  if (converted_length == 0) return text;
  converted[converted_length] = '\0';
  return converted;
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
  if (length == 0) {
    std::printf("err %ld: %s\n", static_cast<long>(code), "Unknown error");
    return;
  }
  // Up to four bytes per character in the console's code page (UTF-8).
  char converted[4 * sizeof text];
  std::printf("err %ld: %s\n", static_cast<long>(code),
              as_console_shows_it(text, static_cast<int>(length), converted, static_cast<int>(sizeof converted)));
}
