// QuickEdit, on by default in the Windows 10 console, starts a selection at
// a single click, and while one is there the console blocks the next write
// to it until a key is pressed: the dot of the next block would never come,
// and a user who took the update for hung might unplug the device.
#include "console/quick_edit.h"

#include <cstdlib>
#include <windows.h>

static HANDLE console_input = nullptr;
static DWORD mode_at_start = 0;

static void restore_console_mode() { SetConsoleMode(console_input, mode_at_start); }

// Ctrl-C, Ctrl-Break and closing the window end the process without its
// exit handlers: the mode is put back here, and the default handling that
// follows ends the process as before.
static BOOL WINAPI restore_console_mode_on_signal(DWORD) {
  restore_console_mode();
  return FALSE;
}

void turn_quick_edit_off() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // Fails for anything but a console: a file, a pipe, no handle at all.
  if (input == nullptr || input == INVALID_HANDLE_VALUE || GetConsoleMode(input, &mode) == FALSE) return;
  // ENABLE_EXTENDED_FLAGS makes the console take the QuickEdit bit from this
  // mode; every other bit stays as it was.
  if (SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) == FALSE) {
    return;
  }
  console_input = input;
  mode_at_start = mode;
  // Exit handlers run after the closing hold, on both ways the run ends:
  // returning from main and exit in fail_and_hold.
  std::atexit(restore_console_mode);
  SetConsoleCtrlHandler(restore_console_mode_on_signal, TRUE);
}
