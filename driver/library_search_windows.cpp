// Windows searches a program's own folder and the current folder for DLLs
// unless told otherwise; an updater run from a Downloads folder must not pick
// up whatever DLL lies there.
#include "driver/library_search.h"

#include <windows.h>

void restrict_library_search() {
  // SetDefaultDllDirectories came after the oldest Windows the updater runs
  // on (and with an update to Windows 7): looked up, not imported, so the
  // exe still starts where it is missing.
  typedef BOOL(WINAPI * set_default_dll_directories_function)(DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto set_default_dll_directories =
      kernel == nullptr ? nullptr
                        : reinterpret_cast<set_default_dll_directories_function>(
                              reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_default_dll_directories != nullptr) set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Where that is missing, this at least takes the current folder out.
  SetDllDirectoryW(L"");
}
