// A hid.dll as one may lie in a Downloads folder beside the updater. Loading
// it leaves a mark file beside it. It exports the HID class functions the
// updater uses, so that a static import of hid.dll would take it and load it.
#include <cstring>
#include <windows.h>

extern "C" __declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID *hid_class) {
  std::memset(hid_class, 0, sizeof *hid_class);
}

extern "C" __declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE, void *) { return FALSE; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + 32];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  char *name = path + length;
  while (name > path && name[-1] != '\\' && name[-1] != '/')
    --name;
  std::strcpy(name, "planted-hid-loaded");
  CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return TRUE;
}
