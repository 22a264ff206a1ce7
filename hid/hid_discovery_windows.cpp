// Finding the bootloader on Windows: walk the present HID interfaces with
// SetupAPI and open the first whose HID attributes carry the wanted IDs and
// whose output report has the wanted length. Without the system's HID class
// library the search finds nothing.
#include "hid/hid_device.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

// Each record's size field is the size of its fixed part as the platform
// defines it; SetupAPI and the HID class library refuse any other value. The
// updater is a 32-bit program, where these are the sizes the system expects.
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface record size");
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail record size");
static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "attribute record size");

// Opens the device path of one interface for overlapped reading and writing.
// INVALID_HANDLE_VALUE when the path cannot be read or opened.
static HANDLE open_interface(HDEVINFO interfaces, SP_DEVICE_INTERFACE_DATA *interface_data) {
  // The query without a buffer fails by design; only the size it reports counts.
  DWORD detail_size = 0;
  SetupDiGetDeviceInterfaceDetailA(interfaces, interface_data, nullptr, 0, &detail_size, nullptr);
  // No size, or one too small for the record's fixed part: setting cbSize
  // would write past the buffer. Such an interface is passed over.
  if (detail_size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return INVALID_HANDLE_VALUE;
  }

  auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(std::malloc(detail_size));
  if (detail == nullptr) {
    return INVALID_HANDLE_VALUE;
  }
  std::memset(detail, 0, detail_size);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (SetupDiGetDeviceInterfaceDetailA(interfaces, interface_data, detail, detail_size, nullptr, nullptr) == FALSE) {
    std::free(detail);
    return INVALID_HANDLE_VALUE;
  }

  HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  std::free(detail);
  return device;
}

// The HID class library's functions, taken at run time from the system
// folder's hid.dll only. Imported statically, hid.dll would be looked for in
// the exe's own folder first (it is not one of the DLLs Windows always takes
// from the system folder), and any hid.dll lying there, in a Downloads
// folder say, would run inside the updater.
typedef void(WINAPI *get_hid_guid_function)(LPGUID);
typedef BOOLEAN(WINAPI *get_attributes_function)(HANDLE, PHIDD_ATTRIBUTES);
typedef BOOLEAN(WINAPI *get_preparsed_data_function)(HANDLE, PHIDP_PREPARSED_DATA *);
typedef BOOLEAN(WINAPI *free_preparsed_data_function)(PHIDP_PREPARSED_DATA);
typedef NTSTATUS(WINAPI *get_caps_function)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
static get_hid_guid_function get_hid_guid = nullptr;
static get_attributes_function get_attributes = nullptr;
static get_preparsed_data_function get_preparsed_data = nullptr;
static free_preparsed_data_function free_preparsed_data = nullptr;
static get_caps_function get_caps = nullptr;

static HMODULE load_system_hid_library() {
  const HMODULE library = LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
  // Windows without the search flags refuses them: name the file by its full
  // path in the system folder instead.
  static const wchar_t file_name[] = L"\\hid.dll";
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + sizeof file_name / sizeof file_name[0] > MAX_PATH) return nullptr;
  std::memcpy(path + length, file_name, sizeof file_name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function> static Function library_function(HMODULE library, const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

static bool hid_functions_found() {
  return get_hid_guid != nullptr && get_attributes != nullptr && get_preparsed_data != nullptr &&
         free_preparsed_data != nullptr && get_caps != nullptr;
}

// Loads the library once; it then stays for the life of the process. False
// when it or one of its functions is missing: the search then finds nothing.
static bool hid_library_ready() {
  if (hid_functions_found()) return true;
  const HMODULE library = load_system_hid_library();
  if (library == nullptr) return false;
  get_hid_guid = library_function<get_hid_guid_function>(library, "HidD_GetHidGuid");
  get_attributes = library_function<get_attributes_function>(library, "HidD_GetAttributes");
  get_preparsed_data = library_function<get_preparsed_data_function>(library, "HidD_GetPreparsedData");
  free_preparsed_data = library_function<free_preparsed_data_function>(library, "HidD_FreePreparsedData");
  get_caps = library_function<get_caps_function>(library, "HidP_GetCaps");
  if (hid_functions_found()) return true;
  get_hid_guid = nullptr;
  get_attributes = nullptr;
  get_preparsed_data = nullptr;
  free_preparsed_data = nullptr;
  get_caps = nullptr;
  FreeLibrary(library);
  return false;
}

static bool has_ids(HANDLE device, std::int32_t vendor_id, std::int32_t product_id) {
  HIDD_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.Size = sizeof attributes;
  return get_attributes(device, &attributes) != FALSE && attributes.VendorID == vendor_id &&
         attributes.ProductID == product_id;
}

// Whether the device's output report, as the HID class driver counts it
// (report ID byte included), is output_report_length bytes long. Windows 8
// and later cut a longer write to the device's report length and report it
// written: a device with a shorter report would take part of every report
// and the update would seem to succeed.
static bool has_output_report_length(HANDLE device, std::int32_t output_report_length) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (get_preparsed_data(device, &preparsed) == FALSE) return false;
  HIDP_CAPS caps;
  std::memset(&caps, 0, sizeof caps);
  const bool matches = get_caps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
                       static_cast<std::int32_t>(caps.OutputReportByteLength) == output_report_length;
  free_preparsed_data(preparsed);
  return matches;
}

device_handle hid_find_device(std::int32_t vendor_id, std::int32_t product_id, std::int32_t output_report_length) {
  if (!hid_library_ready()) return NO_DEVICE;
  GUID hid_class;
  get_hid_guid(&hid_class);
  const HDEVINFO interfaces = SetupDiGetClassDevsA(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (interfaces == INVALID_HANDLE_VALUE) {
    return NO_DEVICE;
  }

  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data;
    std::memset(&interface_data, 0, sizeof interface_data);
    interface_data.cbSize = sizeof interface_data;
    if (SetupDiEnumDeviceInterfaces(interfaces, nullptr, &hid_class, index, &interface_data) == FALSE) {
      break;
    }
    HANDLE device = open_interface(interfaces, &interface_data);
    if (device == INVALID_HANDLE_VALUE) {
      continue;
    }
    // The first match is the one: interfaces after it are not looked at.
    if (has_ids(device, vendor_id, product_id) && has_output_report_length(device, output_report_length)) {
      SetupDiDestroyDeviceInfoList(interfaces);
      return device;
    }
    CloseHandle(device);
  }

  SetupDiDestroyDeviceInfoList(interfaces);
  return NO_DEVICE;
}

// On Windows the messages are the no-device text alone.
void hid_explain_not_found(std::int32_t, std::int32_t, std::int32_t) {}

void hid_close_device(device_handle device) { CloseHandle(device); }
