#include "call_log.h"

#include <cstdarg>
#include <cstdio>
#include <windows.h>

void call_log(const char *format, ...) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("KORVANE_SIM_CALL_LOG", path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    return;
  }
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(line, sizeof line - 1, format, arguments);
  va_end(arguments);
  if (written < 0) {
    return;
  }
  DWORD size = static_cast<DWORD>(written) < sizeof line - 1 ? static_cast<DWORD>(written) : sizeof line - 2;
  line[size++] = '\n';
  // Opened per line: the log must be complete even when the updater is
  // killed in its hold.
  const HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD done = 0;
  WriteFile(file, line, size, &done, nullptr);
  CloseHandle(file);
}
