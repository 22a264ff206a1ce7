// The platform's side of the bootloader link: finding an HID interface by its
// vendor and product ID, closing it, and writing one output report with a
// bounded wait. Each platform has its own file for each concern.
#pragma once

#include <cstdint>

#include "common/types.h"

// The one device the updater holds; NO_DEVICE when none. Set by
// bootloader_open, cleared by bootloader_close, written to by bootloader_send.
extern device_handle current_device;

// Largest payload hid_write_report takes, and its buffer: the report ID byte
// in front of up to REPORT_PAYLOAD_LIMIT payload bytes.
constexpr std::uint32_t REPORT_PAYLOAD_LIMIT = 1089;
constexpr std::uint32_t REPORT_BUFFER_SIZE = REPORT_PAYLOAD_LIMIT + 1;

// An open handle to the first present HID interface, in the platform's
// enumeration order, whose vendor and product ID match and whose output
// report is output_report_length bytes long, as Windows counts it (report ID
// byte included); NO_DEVICE when there is none. Interfaces that cannot be
// opened or read, and those whose output report has another length, are
// passed over: nothing is ever written to them. Prints nothing.
device_handle hid_find_device(std::int32_t vendor_id, std::int32_t product_id, std::int32_t output_report_length);

// After hid_find_device found none: where the platform can tell, says on
// standard error why each interface with the vendor and product ID could not
// be used (another output report, or a node that cannot be opened, with
// what to do about it). Writes to no device.
void hid_explain_not_found(std::int32_t vendor_id, std::int32_t product_id, std::int32_t output_report_length);

// Closes a handle from hid_find_device.
void hid_close_device(device_handle device);

// The report ID in front of every payload.
constexpr unsigned char REPORT_ID = 0x00;

// The pause ahead of every report write, refused ones included; it paces the
// bootloader.
constexpr double WRITE_PAUSE_SECONDS = 0.25;

// The first steps of every report write, on every platform: the pause, then
// the size test. False, after printing why, when size is more than one report
// holds.
bool hid_pause_and_check_size(std::uint32_t size);

// Pauses 250 ms, then writes report ID 0 and size payload bytes to device as
// one output report, waiting at most timeout_ms for the write to complete.
// True when the write completed with a nonzero byte count; otherwise prints
// the reason (on standard output) and returns false.
bool hid_write_report(device_handle device, const unsigned char *payload, std::uint32_t size, milliseconds timeout_ms);

// The write time-out for timeout_seconds: seconds * 1000 truncated toward zero
// to a signed 32-bit count (3.0 gives 3000, 0.25 gives 250).
milliseconds link_timeout_milliseconds(double timeout_seconds);
