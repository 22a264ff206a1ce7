#include "report_check.h"

#include <algorithm>
#include <cstdio>

using namespace bootloader_device;

namespace {

constexpr std::size_t BLOCK_COUNT = MEMORY_SIZE / BLOCK_SIZE;

std::string hex_byte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

} // namespace

std::vector<std::uint8_t> bootloader_report_descriptor(std::size_t output_bytes) {
  const auto low = static_cast<std::uint8_t>(output_bytes & 0xFF);
  const auto high = static_cast<std::uint8_t>((output_bytes >> 8) & 0xFF);
  return {
      0x06, 0x00, 0xFF, // Usage Page (vendor-defined 0xFF00)
      0x09, 0x01,       // Usage (1)
      0xA1, 0x01,       // Collection (Application)
      0x15, 0x00,       //   Logical Minimum (0)
      0x26, 0xFF, 0x00, //   Logical Maximum (255)
      0x75, 0x08,       //   Report Size (8 bits)
      0x96, low,  high, //   Report Count (output_bytes)
      0x09, 0x02,       //   Usage (2)
      0x91, 0x02,       //   Output (Data, Variable, Absolute)
      0xC0,             // End Collection
  };
}

std::string format_block_address(long address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%05lx", static_cast<unsigned long>(address));
  return text;
}

bool expected_update_from_hex(const std::string &path, ExpectedUpdate &expected, std::string &error) {
  SparseImage image;
  HexFault fault;
  if (!read_intel_hex_file(path, IMAGE_CAPACITY, image, fault)) {
    error = path + ":" + std::to_string(fault.line) + ": " + fault.message;
    return false;
  }
  expected = expected_update(image);
  return true;
}

std::vector<std::string> expected_trace(const ExpectedUpdate &expected) {
  std::vector<std::string> trace;
  for (std::size_t block = 0; block < expected.block_sent.size(); ++block) {
    if (expected.block_sent[block]) trace.push_back(format_block_address(static_cast<long>(block * BLOCK_SIZE)));
  }
  return trace;
}

long report_block_address(const std::uint8_t *report, std::size_t size) {
  if (size < 4) return -1;
  return static_cast<long>(report[1]) | static_cast<long>(report[2]) << 8 | static_cast<long>(report[3]) << 16;
}

ExpectedUpdate expected_update(const SparseImage &image) {
  ExpectedUpdate expected;
  expected.block_sent.assign(BLOCK_COUNT, false);
  expected.memory.assign(MEMORY_SIZE, ERASED);
  const std::size_t defined = std::min<std::size_t>(image.present.size(), MEMORY_SIZE);
  for (std::size_t block = 0; block < BLOCK_COUNT; ++block) {
    const std::size_t start = block * BLOCK_SIZE;
    bool has_data = false;
    for (std::size_t a = start; a < start + BLOCK_SIZE && a < defined; ++a) {
      if (image.present[a] != 0 && image.data[a] != ERASED) has_data = true;
    }
    if (block != 0 && !has_data) continue;
    expected.block_sent[block] = true;
    for (std::size_t a = start; a < start + BLOCK_SIZE && a < defined; ++a) {
      if (image.present[a] != 0) expected.memory[a] = image.data[a];
    }
  }
  return expected;
}

ReportChecker::ReportChecker() : block_written_(BLOCK_COUNT, false), memory_(MEMORY_SIZE, ERASED) {}

bool ReportChecker::refuse(const std::string &why) {
  if (fault_.empty()) fault_ = "report " + std::to_string(reports_) + ": " + why;
  return false;
}

bool ReportChecker::receive(const std::uint8_t *report, std::size_t size, bool taken) {
  ++reports_;
  if (size != REPORT_SIZE) {
    return refuse("size " + std::to_string(size) + ", expected " + std::to_string(REPORT_SIZE));
  }
  if (report[0] != 0) return refuse("report ID " + hex_byte(report[0]) + ", expected 0x00");
  for (std::size_t i = 4; i < 1 + HEADER_SIZE; ++i) {
    if (report[i] != 0) {
      return refuse("header byte " + std::to_string(i - 1) + " is " + hex_byte(report[i]) + ", expected 0x00");
    }
  }
  const long address = report_block_address(report, size);
  if (address % BLOCK_SIZE != 0) return refuse("block address " + format_block_address(address) + " is not aligned");
  if (address >= static_cast<long>(MEMORY_SIZE)) {
    return refuse("block address " + format_block_address(address) + " is beyond device memory");
  }
  if (last_address_ < 0 && address != 0) {
    return refuse("first report is for block " + format_block_address(address) + ", expected 0x00000");
  }
  if (address == last_address_) return refuse("block " + format_block_address(address) + " sent twice");
  if (address < last_address_) {
    return refuse("block " + format_block_address(address) + " after block " + format_block_address(last_address_));
  }
  last_address_ = address;
  if (taken) {
    block_written_[static_cast<std::size_t>(address) / BLOCK_SIZE] = true;
    const std::uint8_t *block = report + 1 + HEADER_SIZE;
    std::copy(block, block + BLOCK_SIZE, memory_.begin() + address);
  }
  return true;
}

bool ReportChecker::compare(const ExpectedUpdate &expected) {
  for (std::size_t block = 0; block < BLOCK_COUNT; ++block) {
    const std::string where = format_block_address(static_cast<long>(block * BLOCK_SIZE));
    if (expected.block_sent[block] && !block_written_[block]) {
      if (fault_.empty()) fault_ = "block " + where + " was never written";
      return false;
    }
    if (!expected.block_sent[block] && block_written_[block]) {
      if (fault_.empty()) fault_ = "block " + where + " was written but holds no data to send";
      return false;
    }
  }
  for (std::size_t a = 0; a < MEMORY_SIZE; ++a) {
    if (memory_[a] != expected.memory[a]) {
      if (fault_.empty()) {
        fault_ = "memory at " + format_block_address(static_cast<long>(a)) + " is " + hex_byte(memory_[a]) +
                 ", image has " + hex_byte(expected.memory[a]);
      }
      return false;
    }
  }
  return true;
}
