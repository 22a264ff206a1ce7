// Test stand-in for the system's HID class library, loaded by the updater in
// place of the real one. A simulated interface is a named pipe whose server
// sends the interface's identity (HID attributes and output report length)
// as the first message of every connection, or a file that holds that
// message; the stand-in reads it on the caller's own handle, which the caller
// opened for overlapped I/O.
#include <windows.h>

extern "C" {
#include <hidsdi.h>
}

#include "call_log.h"
#include "hid_interface_class.h"
#include "pipe_identity.h"

namespace {

// How long the identity may take to arrive: the simulator sends it as soon
// as the connection is made.
constexpr DWORD IDENTITY_WAIT_MS = 5000;

// A pipe sends the identity once per connection. HidD_GetAttributes, the
// first call on a handle in any device search, reads it and keeps it here
// for HidD_GetPreparsedData on the same handle.
HANDLE identity_handle = nullptr;
PipeIdentity identity_read = {0, 0, 0, 0};

bool read_identity(HANDLE device, PipeIdentity *identity) {
  const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr) {
    return false;
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
  if (!read || !decode_pipe_identity(message, received, identity)) {
    return false;
  }
  identity_handle = device;
  identity_read = *identity;
  return true;
}

// What HidD_GetPreparsedData hands out: the marker tells it from anything
// else, so a stale or foreign pointer fails HidP_GetCaps as it would on
// Windows.
struct StandinPreparsedData {
  unsigned marker;
  USHORT output_report_length;
};
constexpr unsigned LIVE_PREPARSED_DATA = 0x4B505044;

} // namespace

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
  PipeIdentity identity;
  if (!read_identity(device, &identity)) {
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

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA *preparsed) {
  PipeIdentity identity = identity_read;
  if (device != identity_handle && !read_identity(device, &identity)) {
    call_log("HidD_GetPreparsedData failed");
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  auto *data = static_cast<StandinPreparsedData *>(HeapAlloc(GetProcessHeap(), 0, sizeof(StandinPreparsedData)));
  if (data == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  data->marker = LIVE_PREPARSED_DATA;
  data->output_report_length = identity.output_report_length;
  *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
  call_log("HidD_GetPreparsedData OutputReportByteLength=%u", identity.output_report_length);
  return TRUE;
}

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
  const auto *data = reinterpret_cast<const StandinPreparsedData *>(preparsed);
  call_log("HidP_GetCaps live=%d", data != nullptr && data->marker == LIVE_PREPARSED_DATA ? 1 : 0);
  if (data == nullptr || data->marker != LIVE_PREPARSED_DATA) {
    return HIDP_STATUS_INVALID_PREPARSED_DATA;
  }
  ZeroMemory(caps, sizeof *caps);
  caps->UsagePage = 0xFF00;
  caps->Usage = 1;
  caps->OutputReportByteLength = data->output_report_length;
  caps->NumberLinkCollectionNodes = 1;
  return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
  auto *data = reinterpret_cast<StandinPreparsedData *>(preparsed);
  call_log("HidD_FreePreparsedData live=%d", data != nullptr && data->marker == LIVE_PREPARSED_DATA ? 1 : 0);
  if (data == nullptr || data->marker != LIVE_PREPARSED_DATA) {
    return FALSE;
  }
  data->marker = 0;
  return HeapFree(GetProcessHeap(), 0, data) ? TRUE : FALSE;
}

} // extern "C"
