// What a simulated bootloader checks about the block reports it receives, and
// the device memory it rebuilds from them. No operating-system calls here:
// every platform's simulator shares this module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "intel_hex.h"

// The device's side of the link, stated here on its own rather than taken
// from the updater, so that the checks stay an independent witness.
namespace bootloader_device {
constexpr std::size_t REPORT_SIZE = 1089; // report ID, then one block report
constexpr std::size_t HEADER_SIZE = 64;   // after the report ID: address, zero bytes
constexpr std::uint32_t BLOCK_SIZE = 1024;
constexpr std::uint32_t MEMORY_SIZE = 0x40000;
constexpr std::uint32_t IMAGE_CAPACITY = 0x3B000; // largest image an updater can carry
constexpr std::uint8_t ERASED = 0xFF;
} // namespace bootloader_device

// The HID report descriptor of a device like the bootloader: one
// vendor-defined output report of output_bytes bytes without a report ID
// (the bootloader's own with REPORT_SIZE - 1), and no other report.
std::vector<std::uint8_t> bootloader_report_descriptor(std::size_t output_bytes = bootloader_device::REPORT_SIZE - 1);

// Device memory after a correct update with image: block 0 always, and every
// later block holding a present byte other than 0xFF, written whole with 0xFF
// for absent bytes; everything else left erased.
struct ExpectedUpdate {
  std::vector<bool> block_sent; // per block, MEMORY_SIZE / BLOCK_SIZE entries
  std::vector<std::uint8_t> memory;
};
ExpectedUpdate expected_update(const SparseImage &image);

// The same for the image in the HEX file at path. False, with error naming
// the file and line, when the file cannot be read as an image.
bool expected_update_from_hex(const std::string &path, ExpectedUpdate &expected, std::string &error);

// The block addresses a correct update sends, in order, as trace lines show
// them.
std::vector<std::string> expected_trace(const ExpectedUpdate &expected);

// Follows the reports of one update as they arrive. The first report that
// breaks the protocol is kept as the fault; later reports are still counted.
class ReportChecker {
public:
  ReportChecker();

  // One report as it reached the device. taken says whether the device
  // accepted it (a write that failed, stalled or moved no bytes programs
  // nothing). Returns false when this report breaks the protocol.
  bool receive(const std::uint8_t *report, std::size_t size, bool taken);

  // Compares the programmed memory with what a correct update of expected
  // leaves. Returns false, with fault() saying where, on the first difference.
  bool compare(const ExpectedUpdate &expected);

  std::size_t reports() const { return reports_; }
  const std::vector<std::uint8_t> &memory() const { return memory_; }
  bool failed() const { return !fault_.empty(); }
  const std::string &fault() const { return fault_; }

private:
  bool refuse(const std::string &why);

  std::size_t reports_ = 0;
  long last_address_ = -1;
  std::vector<bool> block_written_;
  std::vector<std::uint8_t> memory_;
  std::string fault_;
};

// The block address a report carries (bytes 1 to 3, little-endian), or -1
// when the report is too short to hold one.
long report_block_address(const std::uint8_t *report, std::size_t size);

// "0x" and five lower-case hex digits, as trace lines and messages show it.
std::string format_block_address(long address);
