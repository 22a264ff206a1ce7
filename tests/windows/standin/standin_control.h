// Stand-in setupapi.dll and hid.dll for the device search tests: the test
// lays out which interfaces the enumeration shows, and reads back how the
// search called the stand-ins. Both DLLs sit beside the test program, which
// Wine loads in place of the system's with WINEDLLOVERRIDES=setupapi,hid=n.
#pragma once

#include <windows.h>

// One interface of the stand-in enumeration.
struct StandinInterface {
  // What the size query reports: 0 reports no size; DETAIL_SIZE_OF_PATH the
  // size a detail record with this device path needs.
  DWORD reported_detail_size;
  // The detail query with a buffer fails.
  BOOL detail_fails;
  // The interface's device path. The stand-in hid.dll reads a device's
  // attributes from the file there: "VVVV PPPP" in hexadecimal.
  char device_path[MAX_PATH];
};

constexpr DWORD DETAIL_SIZE_OF_PATH = 0xFFFFFFFF;
constexpr int STANDIN_MAX_INTERFACES = 16;

// How the search used the stand-in setupapi.dll.
struct SetupapiLog {
  int class_devs_calls;
  GUID class_devs_guid;
  DWORD class_devs_flags;
  int enumerations;        // SetupDiEnumDeviceInterfaces calls
  int highest_index_asked; // -1 when never asked
  BOOL interface_size_wrong;
  // Detail queries with a buffer, per interface index.
  int detail_calls[STANDIN_MAX_INTERFACES];
  DWORD detail_buffer_size[STANDIN_MAX_INTERFACES];
  DWORD detail_record_size[STANDIN_MAX_INTERFACES]; // the cbSize given
  int destroy_calls;
  BOOL destroyed_other_set; // destroyed something it was not given
};

// How the search used the stand-in hid.dll.
struct HidLog {
  int attribute_calls;
  BOOL attribute_size_wrong;
};

// Exported by the stand-in setupapi.dll. A fail_class_devs set makes
// SetupDiGetClassDevsA fail. Resets the log.
typedef void(WINAPI *standin_setupapi_layout_fn)(const StandinInterface *interfaces, int count, BOOL fail_class_devs);
typedef const SetupapiLog *(WINAPI *standin_setupapi_log_fn)();
// Exported by the stand-in hid.dll. Resets the log; returns the HID class
// identifier it hands out.
typedef GUID(WINAPI *standin_hid_reset_fn)();
typedef const HidLog *(WINAPI *standin_hid_log_fn)();
