// Test stand-in for the system's HID class library, loaded by the updater in
// place of the real one. A simulated interface is a named pipe whose server
// sends the interface's HID attributes as the first message of every
// connection, or a file that holds that message; HidD_GetAttributes reads it
// on the caller's own handle, which the caller opened for overlapped I/O.
#include <windows.h>

extern "C" {
#include <hidsdi.h>
}

#include "call_log.h"
#include "hid_interface_class.h"
#include "pipe_identity.h"

// How long the attributes may take to arrive: the simulator sends them as
// soon as the connection is made.
constexpr DWORD IDENTITY_WAIT_MS = 5000;

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID guid) {
  call_log("HidD_GetHidGuid");
  *guid = HID_INTERFACE_CLASS;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  call_log("HidD_GetAttributes Size=%lu", static_cast<unsigned long>(attributes->Size));
  if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr) {
    return FALSE;
  }
  OVERLAPPED request = {};
  request.hEvent = done;
  unsigned char message[64];
  DWORD received = 0;
  bool read = ReadFile(device, message, sizeof message, nullptr, &request) != 0;
  if (!read && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(done, IDENTITY_WAIT_MS) != WAIT_OBJECT_0) {
      CancelIo(device);
    }
    // Waits out a cancelled read too: the buffer and record live here.
    read = GetOverlappedResult(device, &request, &received, TRUE) != 0;
  } else if (read) {
    read = GetOverlappedResult(device, &request, &received, FALSE) != 0;
  }
  CloseHandle(done);

  PipeIdentity identity;
  if (!read || !decode_pipe_identity(message, received, &identity)) {
    call_log("HidD_GetAttributes failed");
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = identity.vendor_id;
  attributes->ProductID = identity.product_id;
  attributes->VersionNumber = identity.version_number;
  call_log("HidD_GetAttributes VendorID=0x%04x ProductID=0x%04x", identity.vendor_id, identity.product_id);
  return TRUE;
}

} // extern "C"
