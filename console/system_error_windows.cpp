// System error text on Windows: GetLastError and FormatMessageA.
#include "console/console.h"

#include <cstdio>
#include <windows.h>

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
  std::printf("err %ld: %s\n", static_cast<long>(code), length != 0 ? text : "Unknown error");
}
