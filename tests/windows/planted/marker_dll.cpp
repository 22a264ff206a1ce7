// A DLL as one may lie in a Downloads folder beside the updater, copied there
// under the names of system DLLs. Loading it leaves a file NAME.dll.loaded
// beside it. It exports the HID class functions the updater uses, so that
// a static import of hid.dll would take it and load it.
#include <cstring>
#include <windows.h>

extern "C" __declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID *hid_class) {
  std::memset(hid_class, 0, sizeof *hid_class);
}

extern "C" __declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE, void *) { return FALSE; }
extern "C" __declspec(dllexport) BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE, void **) { return FALSE; }
extern "C" __declspec(dllexport) BOOLEAN WINAPI HidD_FreePreparsedData(void *) { return FALSE; }
extern "C" __declspec(dllexport) LONG WINAPI HidP_GetCaps(void *, void *) { return 0; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + 16];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  std::strcpy(path + length, ".loaded");
  CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return TRUE;
}
