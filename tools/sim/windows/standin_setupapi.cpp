// Test stand-in for the system's SetupAPI, loaded by the updater in place of
// the real one. Its HID interface class holds the simulated interfaces that
// KORVANE_SIM_INTERFACES lists (device paths separated by ';', in enumeration
// order). It checks the callers' records the way the system does, so a wrong
// record size fails here as it would on a real machine.
#define _SETUPAPI_
#include <windows.h>

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "call_log.h"
#include "hid_interface_class.h"

namespace {

// The set that SetupDiGetClassDevsA hands out; the marker tells a live set
// from a stale or foreign handle.
struct InterfaceSet {
  unsigned marker;
  std::vector<std::string> paths;
};
constexpr unsigned LIVE_SET = 0x4B534554;

InterfaceSet *live_set(HDEVINFO handle) {
  auto *set = static_cast<InterfaceSet *>(handle);
  if (set == nullptr || handle == INVALID_HANDLE_VALUE || set->marker != LIVE_SET) {
    return nullptr;
  }
  return set;
}

std::vector<std::string> configured_paths() {
  std::vector<std::string> paths;
  const DWORD length = GetEnvironmentVariableA("KORVANE_SIM_INTERFACES", nullptr, 0);
  if (length == 0) {
    return paths;
  }
  std::string list(length, '\0');
  list.resize(GetEnvironmentVariableA("KORVANE_SIM_INTERFACES", &list[0], length));
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) {
      end = list.size();
    }
    if (end > start) {
      paths.push_back(list.substr(start, end - start));
    }
    start = end + 1;
  }
  return paths;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The interface record's Reserved field carries the index + 1 of the
// interface it describes.
const std::string *described_path(const InterfaceSet *set, const SP_DEVICE_INTERFACE_DATA *data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > set->paths.size()) {
    return nullptr;
  }
  return &set->paths[data->Reserved - 1];
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *class_guid, PCSTR enumerator, HWND, DWORD flags) {
  call_log("SetupDiGetClassDevsA hid_class=%d enumerator=%s flags=0x%lx", is_hid_interface_class(class_guid) ? 1 : 0,
           enumerator ? enumerator : "none", static_cast<unsigned long>(flags));
  if (class_guid == nullptr && !(flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto *set = new InterfaceSet{LIVE_SET, {}};
  // Only device interfaces of the HID class are simulated.
  if ((flags & DIGCF_DEVICEINTERFACE) && is_hid_interface_class(class_guid) && enumerator == nullptr) {
    set->paths = configured_paths();
  }
  return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID *class_guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  call_log("SetupDiEnumDeviceInterfaces index=%lu cbSize=%lu", static_cast<unsigned long>(index),
           data ? static_cast<unsigned long>(data->cbSize) : 0UL);
  InterfaceSet *set = live_set(handle);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (device != nullptr || !is_hid_interface_class(class_guid) || index >= set->paths.size()) {
    return fail(ERROR_NO_MORE_ITEMS);
  }
  data->InterfaceClassGuid = HID_INTERFACE_CLASS;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                             PDWORD required_size, PSP_DEVINFO_DATA device) {
  call_log("SetupDiGetDeviceInterfaceDetailA buffer=%d size=%lu cbSize=%lu", detail ? 1 : 0,
           static_cast<unsigned long>(detail_size), detail ? static_cast<unsigned long>(detail->cbSize) : 0UL);
  InterfaceSet *set = live_set(handle);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  const std::string *path = described_path(set, data);
  if (path == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (detail == nullptr ? detail_size != 0 : detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path->size() + 1);
  if (required_size != nullptr) {
    *required_size = needed;
  }
  if (detail_size < needed) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(detail->DevicePath, path->c_str(), path->size() + 1);
  if (device != nullptr) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
      return fail(ERROR_INVALID_USER_BUFFER);
    }
    device->ClassGuid = HID_INTERFACE_CLASS;
    device->DevInst = data->Reserved;
    device->Reserved = 0;
  }
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  call_log("SetupDiDestroyDeviceInfoList");
  InterfaceSet *set = live_set(handle);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  set->marker = 0;
  delete set;
  return TRUE;
}

} // extern "C"
