// Strict reader of Intel HEX files, the format firmware is delivered in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A sparse memory image of a fixed capacity: present[a] is 1 where the file
// defines address a, and data[a] is the byte it gives there.
struct SparseImage {
  std::vector<std::uint8_t> present;
  std::vector<std::uint8_t> data;
};

// Where and why a file was refused. line is 1-based; 0 when the fault is not
// on one line (the file cannot be read, or it ends too soon).
struct HexFault {
  int line = 0;
  std::string message;
};

// Reads text as Intel HEX into an image of capacity bytes. Accepts data,
// end-of-file, extended segment/linear address and start address records;
// refuses anything else: a malformed line, a bad checksum, an unknown record
// type, a data record that runs past its 64 KiB window, data at or beyond
// capacity, one address given two different bytes, a missing end-of-file
// record or anything after it. On refusal, fault says why and image is left
// empty, so nothing half-read is ever used.
bool parse_intel_hex(const std::string &text, std::uint32_t capacity, SparseImage &image, HexFault &fault);

// Reads the file at path with parse_intel_hex.
bool read_intel_hex_file(const std::string &path, std::uint32_t capacity, SparseImage &image, HexFault &fault);

// Intel HEX text for image: data records of up to 16 bytes over each run of
// present addresses, an extended linear address record at each 64 KiB
// window, and the end-of-file record.
std::string format_intel_hex(const SparseImage &image);
