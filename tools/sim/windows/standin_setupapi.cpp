// Test stand-in for the system's SetupAPI, loaded by the updater in place of
// the real one. Its HID interface class holds the simulated interfaces that
// KORVANE_SIM_INTERFACES lists, in enumeration order, separated by ';'. Each
// is a device path, optionally followed by faults of its detail queries:
//   PATH|size=N        the size query reports N bytes (0: reports no size)
//   PATH|detail-fails  the detail query with a buffer fails
// KORVANE_SIM_NO_INTERFACE_SET=1 makes SetupDiGetClassDevsA fail. It checks
// the callers' records the way the system does, so a wrong record size fails
// here as it would on a real machine, and tells a live set from a stale one.
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

struct SimulatedInterface {
  std::string path;
  bool size_given;
  DWORD reported_size; // when size_given: what the size query reports
  bool detail_fails;
};

// The set that SetupDiGetClassDevsA hands out; the marker tells a live set
// from a stale or foreign handle.
struct InterfaceSet {
  unsigned marker;
  std::vector<SimulatedInterface> interfaces;
};
constexpr unsigned LIVE_SET = 0x4B534554;

InterfaceSet *live_set(HDEVINFO handle) {
  auto *set = static_cast<InterfaceSet *>(handle);
  if (set == nullptr || handle == INVALID_HANDLE_VALUE || set->marker != LIVE_SET) {
    return nullptr;
  }
  return set;
}

std::string variable(const char *name) {
  const DWORD length = GetEnvironmentVariableA(name, nullptr, 0);
  if (length == 0) {
    return "";
  }
  std::string value(length, '\0');
  value.resize(GetEnvironmentVariableA(name, &value[0], length));
  return value;
}

// The pieces of text between separators, empty ones left out.
std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > start) {
      pieces.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return pieces;
}

std::vector<SimulatedInterface> configured_interfaces() {
  std::vector<SimulatedInterface> interfaces;
  for (const std::string &entry : split(variable("KORVANE_SIM_INTERFACES"), ';')) {
    const std::vector<std::string> fields = split(entry, '|');
    SimulatedInterface simulated{fields.empty() ? "" : fields[0], false, 0, false};
    for (std::size_t i = 1; i < fields.size(); ++i) {
      if (fields[i].rfind("size=", 0) == 0) {
        simulated.size_given = true;
        simulated.reported_size = static_cast<DWORD>(std::stoul(fields[i].substr(5)));
      }
      simulated.detail_fails = simulated.detail_fails || fields[i] == "detail-fails";
    }
    interfaces.push_back(simulated);
  }
  return interfaces;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The interface record's Reserved field carries the index + 1 of the
// interface it describes.
const SimulatedInterface *described_interface(const InterfaceSet *set, const SP_DEVICE_INTERFACE_DATA *data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > set->interfaces.size()) {
    return nullptr;
  }
  return &set->interfaces[data->Reserved - 1];
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *class_guid, PCSTR enumerator, HWND, DWORD flags) {
  call_log("SetupDiGetClassDevsA hid_class=%d enumerator=%s flags=0x%lx", is_hid_interface_class(class_guid) ? 1 : 0,
           enumerator ? enumerator : "none", static_cast<unsigned long>(flags));
  if ((class_guid == nullptr && !(flags & DIGCF_ALLCLASSES)) || variable("KORVANE_SIM_NO_INTERFACE_SET") == "1") {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto *set = new InterfaceSet{LIVE_SET, {}};
  // Only device interfaces of the HID class are simulated.
  if ((flags & DIGCF_DEVICEINTERFACE) && is_hid_interface_class(class_guid) && enumerator == nullptr) {
    set->interfaces = configured_interfaces();
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
  if (device != nullptr || !is_hid_interface_class(class_guid) || index >= set->interfaces.size()) {
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
  // cbSize is read only where the buffer holds it.
  const DWORD record_size = detail != nullptr && detail_size >= sizeof(DWORD) ? detail->cbSize : 0;
  call_log("SetupDiGetDeviceInterfaceDetailA index=%ld buffer=%d size=%lu cbSize=%lu",
           data ? static_cast<long>(data->Reserved) - 1 : -1L, detail ? 1 : 0, static_cast<unsigned long>(detail_size),
           static_cast<unsigned long>(record_size));
  InterfaceSet *set = live_set(handle);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  const SimulatedInterface *simulated = described_interface(set, data);
  if (simulated == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (detail == nullptr ? detail_size != 0 : record_size != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  const std::string &path = simulated->path;
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (detail == nullptr && simulated->size_given) {
    // Reporting no size leaves the caller's count as it was.
    if (required_size != nullptr && simulated->reported_size != 0) {
      *required_size = simulated->reported_size;
    }
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (detail != nullptr && simulated->detail_fails) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (required_size != nullptr) {
    *required_size = needed;
  }
  if (detail_size < needed) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
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
  InterfaceSet *set = live_set(handle);
  call_log("SetupDiDestroyDeviceInfoList live=%d", set != nullptr ? 1 : 0);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  set->marker = 0;
  delete set;
  return TRUE;
}

} // extern "C"
