// Fuzz target for the strict Intel HEX reader. The first input byte picks the
// image capacity and how the rest makes the text: as it stands, or as a
// recipe of records (see records_from), since random text almost never gets
// past the first checksum. The reader must never crash, and its
// verdict (accepted, or refused on which line) and image must match those of
// a plain, independent checker of the same rules. An accepted image must
// also survive formatting and reading back unchanged, and a refusal must
// leave nothing half-read behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <string>
#include <vector>

#include "intel_hex.h"

namespace {

struct Verdict {
  bool accepted = false;
  int line = 0;                                // the refused line, 0 when none
  std::map<std::uint32_t, std::uint8_t> bytes; // the image when accepted
};

int nibble(char c) {
  const std::string digits = "0123456789ABCDEF";
  const std::string lower = "0123456789abcdef";
  if (digits.find(c) != std::string::npos && c != '\0') return static_cast<int>(digits.find(c));
  if (lower.find(c) != std::string::npos && c != '\0') return static_cast<int>(lower.find(c));
  return -1;
}

// The rules, written out plainly: lines end at '\n' (a '\r' before it is
// dropped); every line up to the end-of-file record is a record of ':' and
// pairs of hex digits, at least 5 bytes, whose first byte counts the data
// bytes and whose bytes add up to 0 modulo 256; record types 00 (data, never
// past its 64 KiB window, never at or beyond capacity, never two different
// bytes for one address), 01 (end of file, no data), 02 and 04 (extended
// segment or linear address, 2 bytes), 03 and 05 (start address, 4 bytes);
// after the end-of-file record only empty lines.
Verdict check(const std::string &text, std::uint32_t capacity) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);

  Verdict verdict;
  std::uint64_t base = 0;
  bool ended = false;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string line = lines[n];
    const int number = static_cast<int>(n) + 1;
    if (!line.empty() && line[line.size() - 1] == '\r') line.erase(line.size() - 1);
    if (ended) {
      if (!line.empty()) return Verdict{false, number, {}};
      continue;
    }
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return Verdict{false, number, {}};
    std::vector<unsigned> record;
    for (std::size_t i = 1; i < line.size(); i += 2) {
      const int high = nibble(line[i]);
      const int low = nibble(line[i + 1]);
      if (high < 0 || low < 0) return Verdict{false, number, {}};
      record.push_back(static_cast<unsigned>(high * 16 + low));
    }
    unsigned sum = 0;
    for (unsigned b : record)
      sum += b;
    if (record[0] + 5 != record.size() || sum % 256 != 0) return Verdict{false, number, {}};
    const unsigned count = record[0];
    const unsigned offset = record[1] * 256 + record[2];
    const unsigned type = record[3];
    if (type == 0) {
      if (offset + count > 65536) return Verdict{false, number, {}};
      for (unsigned i = 0; i < count; ++i) {
        const std::uint64_t address = base + offset + i;
        if (address >= capacity) return Verdict{false, number, {}};
        const auto value = static_cast<std::uint8_t>(record[4 + i]);
        const auto known = verdict.bytes.find(static_cast<std::uint32_t>(address));
        if (known != verdict.bytes.end() && known->second != value) return Verdict{false, number, {}};
        verdict.bytes[static_cast<std::uint32_t>(address)] = value;
      }
    } else if (type == 1) {
      if (count != 0) return Verdict{false, number, {}};
      ended = true;
    } else if (type == 2 || type == 4) {
      if (count != 2) return Verdict{false, number, {}};
      base = (record[4] * 256 + record[5]) * (type == 4 ? 65536ULL : 16ULL);
    } else if (type == 3 || type == 5) {
      if (count != 4) return Verdict{false, number, {}};
    } else {
      return Verdict{false, number, {}};
    }
  }
  if (!ended) return Verdict{false, 0, {}};
  verdict.accepted = true;
  return verdict;
}

std::map<std::uint32_t, std::uint8_t> bytes_of(const SparseImage &image) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  for (std::size_t a = 0; a < image.present.size(); ++a) {
    if (image.present[a]) bytes[static_cast<std::uint32_t>(a)] = image.data[a];
  }
  return bytes;
}

// Text made of records built from the input: mostly well formed (right
// length byte and checksum, offsets near the end of a window), with now and
// then a wrong length or checksum, lower-case digits, odd line ends, stray
// text, or a record type the reader does not know.
std::string records_from(FuzzedDataProvider &input) {
  static const char *const line_ends[] = {"\n", "\r\n", "", "\r\r\n", "\n\n"};
  std::string text;
  while (input.remaining_bytes() > 0) {
    const int kind = input.ConsumeIntegralInRange(0, 9);
    const unsigned type = kind <= 5   ? static_cast<unsigned>(kind)
                          : kind <= 7 ? 0
                                      : input.ConsumeIntegral<std::uint8_t>();
    std::vector<unsigned> payload;
    const unsigned count = input.ConsumeIntegralInRange(0u, type == 0 ? 24u : 5u);
    for (unsigned i = 0; i < count; ++i)
      payload.push_back(input.ConsumeIntegral<std::uint8_t>());
    unsigned offset = input.ConsumeIntegral<std::uint16_t>();
    if (input.ConsumeBool()) offset = (0x10000u - count + input.ConsumeIntegralInRange(0u, 3u) - 1u) & 0xFFFFu;
    const std::uint8_t flaws = input.ConsumeIntegral<std::uint8_t>();
    unsigned length = count;
    if ((flaws & 0x0F) == 1) length = (length + 1) & 0xFF;
    std::vector<unsigned> record = {length, offset >> 8, offset & 0xFF, type & 0xFF};
    record.insert(record.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (unsigned b : record)
      sum += b;
    record.push_back((0x100 - (sum & 0xFF) + ((flaws & 0x0F) == 2 ? 1 : 0)) & 0xFF);
    const char *digits = (flaws & 0x10) != 0 ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string line = ":";
    for (unsigned b : record) {
      line += digits[b >> 4];
      line += digits[b & 0xF];
    }
    if ((flaws & 0x0F) == 3)
      line.insert(input.ConsumeIntegralInRange<std::size_t>(0, line.size()), input.ConsumeBytesAsString(2));
    text += line;
    text += line_ends[(flaws >> 5) % (sizeof line_ends / sizeof line_ends[0])];
  }
  return text;
}

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
  if (size == 0) return 0;
  // Capacities at and around the 64 KiB windows, and the image's own.
  static const std::uint32_t capacities[] = {0, 1, 0x10, 0x100, 0xFFFF, 0x10000, 0x10001, 0x20010, 0x3B000};
  const std::uint32_t capacity = capacities[(bytes[0] & 0x7F) % (sizeof capacities / sizeof capacities[0])];
  FuzzedDataProvider rest(bytes + 1, size - 1);
  const std::string text = (bytes[0] & 0x80) != 0 ? records_from(rest) : rest.ConsumeRemainingBytesAsString();

  SparseImage image;
  image.present.assign(3, 1); // stale content that a refusal must clear
  HexFault fault;
  const bool accepted = parse_intel_hex(text, capacity, image, fault);
  const Verdict expected = check(text, capacity);

  if (accepted != expected.accepted)
    fail(accepted ? "accepted what the rules refuse" : "refused what the rules accept");
  if (!accepted) {
    if (fault.line != expected.line) fail("refused on another line than the rules");
    if (fault.message.empty()) fail("refused without a reason");
    if (!image.present.empty() || !image.data.empty()) fail("a refusal left an image behind");
    return 0;
  }
  if (fault.line != 0 || !fault.message.empty()) fail("accepted with a fault");
  if (image.present.size() != capacity || image.data.size() != capacity) fail("image is not of the capacity asked");
  if (bytes_of(image) != expected.bytes) fail("image differs from the one the rules give");

  SparseImage again;
  HexFault again_fault;
  if (!parse_intel_hex(format_intel_hex(image), capacity, again, again_fault)) fail("formatted image is refused");
  if (bytes_of(again) != expected.bytes) fail("formatted image reads back differently");
  return 0;
}
