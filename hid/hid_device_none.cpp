// The HID side of the link on platforms without a transport: no bootloader
// is ever found, so no device is held and nothing is ever written.
#include "hid/hid_device.h"

device_handle hid_find_device(std::int32_t, std::int32_t, std::int32_t) { return NO_DEVICE; }

void hid_explain_not_found(std::int32_t, std::int32_t, std::int32_t) {}

void hid_close_device(device_handle) {}

bool hid_write_report(device_handle, const unsigned char *, std::uint32_t, milliseconds) { return false; }
