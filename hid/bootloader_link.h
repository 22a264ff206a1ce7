// The three link operations through which the update run reaches the
// device's USB HID bootloader, and the bootloader's identity.
#pragma once

#include <cstdint>

// HID attributes of the bootloader interface.
constexpr std::uint16_t BOOTLOADER_VENDOR_ID = 0x16C0;
constexpr std::uint16_t BOOTLOADER_PRODUCT_ID = 0x0478;
// Its output report as Windows counts it: report ID 0, which means the
// device numbers no reports, then one 1,088-byte block report. Another
// board can carry the same IDs; one whose output report differs would take
// only part of each block, so it is never written to.
constexpr std::int32_t BOOTLOADER_OUTPUT_REPORT_LENGTH = 1089;

// Finds the bootloader and holds it as the one current device; releases any
// device held before. True when found. Prints nothing.
bool bootloader_open();

// After bootloader_open found none: where the platform can tell, says on
// standard error why a device with the bootloader's IDs could not be used.
void bootloader_explain_absence();

// Writes size bytes of report to the held device as one HID output report and
// waits at most timeout_seconds for it to complete. True when the device took
// it; false after the reason has been printed, or at once and silently when
// no device is held.
bool bootloader_send(const unsigned char *report, std::uint32_t size, double timeout_seconds);

// Releases the held device, if any.
void bootloader_close();
