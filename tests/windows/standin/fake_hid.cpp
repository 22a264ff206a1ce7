// Stand-in hid.dll: a device's HID attributes are read from the file its
// handle is open on ("VVVV PPPP" in hexadecimal).
#include <cstdio>
#include <cstring>
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include "standin_control.h"

// Not the system's HID class identifier, so the test sees that the search
// asks this DLL for it rather than knowing it.
static const GUID STANDIN_HID_CLASS = {0x6b6f7276, 0x616e, 0x6548, {0x49, 0x44, 0x20, 0x74, 0x65, 0x73, 0x74, 0x73}};
static HidLog log_record;

extern "C" __declspec(dllexport) GUID WINAPI standin_hid_reset() {
  std::memset(&log_record, 0, sizeof log_record);
  return STANDIN_HID_CLASS;
}

extern "C" __declspec(dllexport) const HidLog *WINAPI standin_hid_log() { return &log_record; }

extern "C" __declspec(dllexport) void NTAPI HidD_GetHidGuid(LPGUID hid_class) { *hid_class = STANDIN_HID_CLASS; }

extern "C" __declspec(dllexport) BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  ++log_record.attribute_calls;
  if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
    log_record.attribute_size_wrong = TRUE;
    return FALSE;
  }
  // The handle is open for overlapped I/O: read with an OVERLAPPED record.
  char text[16] = {};
  OVERLAPPED request = {};
  request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD got = 0;
  const BOOL read =
      (ReadFile(device, text, sizeof text - 1, nullptr, &request) || GetLastError() == ERROR_IO_PENDING) &&
      GetOverlappedResult(device, &request, &got, TRUE);
  CloseHandle(request.hEvent);
  unsigned vendor = 0;
  unsigned product = 0;
  if (!read || std::sscanf(text, "%4x %4x", &vendor, &product) != 2) return FALSE;
  attributes->VendorID = static_cast<USHORT>(vendor);
  attributes->ProductID = static_cast<USHORT>(product);
  attributes->VersionNumber = 0x0100;
  return TRUE;
}
