// Reading the size of a device's output report from its HID report
// descriptor, as far as the bootloader search needs it.
#pragma once

#include <cstddef>

// A descriptor longer than this is none that the system hands out.
constexpr std::size_t HID_REPORT_DESCRIPTOR_SIZE_MAX = 4096;

// The length of the output report that the descriptor declares, counted as
// Windows counts it: the report ID byte in front of the report's bytes
// (OutputReportByteLength). 0 when it declares no output report. -1 when it
// declares report IDs, so that its reports are numbered, or holds anything
// this reader does not understand: reserved or long items, unbalanced
// collections, a Pop without its Push, sizes beyond what a HID device can
// have.
long hid_output_report_length(const unsigned char *descriptor, std::size_t size);
