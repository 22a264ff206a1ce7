// Stand-in setupapi.dll: an enumeration of HID interfaces laid out by the
// test, with every call the device search makes checked and logged.
#define _SETUPAPI_
#include <cstddef>
#include <cstring>
#include <windows.h>

#include <setupapi.h>

#include "standin_control.h"

static StandinInterface layout[STANDIN_MAX_INTERFACES];
static int layout_count = 0;
static BOOL class_devs_fail = FALSE;
static SetupapiLog log_record;
// The set handed out: any non-null value that only the stand-in knows.
static int set_marker;
static const HDEVINFO THE_SET = &set_marker;

extern "C" __declspec(dllexport) void WINAPI
    standin_setupapi_layout(const StandinInterface *interfaces, int count, BOOL fail_class_devs) {
  layout_count = count < STANDIN_MAX_INTERFACES ? count : STANDIN_MAX_INTERFACES;
  std::memcpy(layout, interfaces, sizeof(StandinInterface) * static_cast<std::size_t>(layout_count));
  class_devs_fail = fail_class_devs;
  std::memset(&log_record, 0, sizeof log_record);
  log_record.highest_index_asked = -1;
}

extern "C" __declspec(dllexport) const SetupapiLog *WINAPI standin_setupapi_log() { return &log_record; }

// The size a detail record with the entry's path really takes.
static DWORD detail_size_needed(const StandinInterface &entry) {
  return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + std::strlen(entry.device_path) +
                            1);
}

static DWORD detail_size_reported(const StandinInterface &entry) {
  return entry.reported_detail_size == DETAIL_SIZE_OF_PATH ? detail_size_needed(entry) : entry.reported_detail_size;
}

extern "C" __declspec(dllexport) HDEVINFO WINAPI
    SetupDiGetClassDevsA(const GUID *class_guid, PCSTR, HWND, DWORD flags) {
  ++log_record.class_devs_calls;
  log_record.class_devs_guid = *class_guid;
  log_record.class_devs_flags = flags;
  if (class_devs_fail) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return THE_SET;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI
    SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *class_guid, DWORD index,
                                PSP_DEVICE_INTERFACE_DATA data) {
  ++log_record.enumerations;
  if (static_cast<int>(index) > log_record.highest_index_asked)
    log_record.highest_index_asked = static_cast<int>(index);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    log_record.interface_size_wrong = TRUE;
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (set != THE_SET || static_cast<int>(index) >= layout_count) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *class_guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index; // tells the detail query which interface is meant
  return TRUE;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI
    SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size, PDWORD required_size,
                                     PSP_DEVINFO_DATA) {
  const DWORD index = static_cast<DWORD>(data->Reserved);
  if (set != THE_SET || index >= static_cast<DWORD>(layout_count)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const StandinInterface &entry = layout[index];
  if (detail == nullptr) {
    // Reporting no size leaves the caller's count as it was.
    if (required_size != nullptr && entry.reported_detail_size != 0) *required_size = detail_size_reported(entry);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  ++log_record.detail_calls[index];
  log_record.detail_buffer_size[index] = detail_size;
  // A buffer too small for cbSize is logged (size 0 here) but not read.
  log_record.detail_record_size[index] = detail_size >= sizeof(DWORD) ? detail->cbSize : 0;
  if (entry.detail_fails || log_record.detail_record_size[index] != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail_size < detail_size_needed(entry)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::strcpy(detail->DevicePath, entry.device_path);
  return TRUE;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  ++log_record.destroy_calls;
  if (set != THE_SET) log_record.destroyed_other_set = TRUE;
  return TRUE;
}
