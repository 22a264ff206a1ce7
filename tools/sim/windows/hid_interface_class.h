// The device interface class of the simulated HID devices: the stand-in HID
// library hands it out, the stand-in SetupAPI enumerates its simulated
// interfaces under it only. It is not the system's HID class, so a search
// that finds them must have asked the HID library for the class.
#pragma once

#include <windows.h>

constexpr GUID HID_INTERFACE_CLASS = {0x6b6f7276, 0x616e, 0x6548, {0x49, 0x44, 0x20, 0x74, 0x65, 0x73, 0x74, 0x73}};

inline bool is_hid_interface_class(const GUID *guid) {
  return guid != nullptr && IsEqualGUID(*guid, HID_INTERFACE_CLASS);
}
