// The link operations the update run uses, over the platform's HID device
// search and report writer.
#include "hid/bootloader_link.h"

#include <cstdint>

#include "hid/hid_device.h"

device_handle current_device = NO_DEVICE;

bool bootloader_open() {
  bootloader_close();
  current_device = hid_find_device(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH);
  return current_device != NO_DEVICE;
}

void bootloader_explain_absence() {
  hid_explain_not_found(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH);
}

void bootloader_close() {
  if (current_device != NO_DEVICE) {
    hid_close_device(current_device);
    current_device = NO_DEVICE;
  }
}

milliseconds link_timeout_milliseconds(double timeout_seconds) {
  const double total = timeout_seconds * 1000.0;
  // Outside the signed 32-bit range (or NaN) the conversion would be
  // undefined; the update run only asks for 3.0 and 0.25 seconds.
  if (!(total > -2147483649.0 && total < 2147483648.0)) {
    return 0;
  }
  return static_cast<milliseconds>(static_cast<std::int32_t>(total));
}

bool bootloader_send(const unsigned char *report, std::uint32_t size, double timeout_seconds) {
  if (current_device == NO_DEVICE) {
    return false;
  }
  return hid_write_report(current_device, report, size, link_timeout_milliseconds(timeout_seconds));
}
