// The device interface class of HID devices, as the system defines it: the
// stand-in HID library hands it out, the stand-in SetupAPI enumerates its
// simulated interfaces under it only.
#pragma once

#include <windows.h>

constexpr GUID HID_INTERFACE_CLASS = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline bool is_hid_interface_class(const GUID *guid) {
  return guid != nullptr && IsEqualGUID(*guid, HID_INTERFACE_CLASS);
}
