// Strict Intel HEX reading and writing.
#include "intel_hex.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>

namespace {

enum RecordType : std::uint8_t {
  DATA = 0x00,
  END_OF_FILE = 0x01,
  EXTENDED_SEGMENT_ADDRESS = 0x02,
  START_SEGMENT_ADDRESS = 0x03,
  EXTENDED_LINEAR_ADDRESS = 0x04,
  START_LINEAR_ADDRESS = 0x05,
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Decodes one record line (without its line break) into bytes, checking the
// framing, the length byte and the checksum.
bool decode_record(const std::string &line, std::vector<std::uint8_t> &bytes, std::string &why) {
  if (line.empty() || line[0] != ':') {
    why = "record does not start with ':'";
    return false;
  }
  if ((line.size() - 1) % 2 != 0) {
    why = "record has an odd number of hex digits";
    return false;
  }
  bytes.clear();
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const int high = hex_digit(line[i]);
    const int low = hex_digit(line[i + 1]);
    if (high < 0 || low < 0) {
      why = "record holds a character that is not a hex digit";
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  if (bytes.size() < 5) {
    why = "record is too short";
    return false;
  }
  if (bytes[0] != bytes.size() - 5) {
    why = "record's byte count " + std::to_string(bytes[0]) + " does not match its " +
          std::to_string(bytes.size() - 5) + " data bytes";
    return false;
  }
  const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0U);
  if ((sum & 0xFF) != 0) {
    const unsigned expected = (0x100 - ((sum - bytes.back()) & 0xFF)) & 0xFF;
    why = "bad checksum " + hex(bytes.back(), 2) + ", the record's bytes call for " + hex(expected, 2);
    return false;
  }
  return true;
}

// What the records read so far have told: the image, the line that first
// gave each byte, the base address from the latest extended address record,
// and whether the end-of-file record has come.
struct Reading {
  SparseImage image;
  std::vector<int> defined_on;
  std::uint32_t base = 0;
  bool ended = false;
};

// Puts a data record's bytes into the image; false with the reason when the
// record reaches outside its window or the image, or contradicts an earlier one.
bool apply_data(Reading &reading, const std::vector<std::uint8_t> &bytes, int line_number, std::string &why) {
  const std::uint32_t count = bytes[0];
  const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1]) << 8 | bytes[2];
  const std::uint8_t *payload = bytes.data() + 4;
  // Whether such a record wraps inside its window or runs on into the next
  // one is read differently by different tools; refuse to guess.
  if (offset + count > 0x10000) {
    why = "data record runs past the end of its 64 KiB window";
    return false;
  }
  SparseImage &image = reading.image;
  const auto capacity = static_cast<std::uint32_t>(image.present.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t address = reading.base + offset + i;
    if (address >= capacity) {
      why = "data at " + hex(address, 5) + " lies at or beyond the image capacity " + hex(capacity, 5);
      return false;
    }
    const bool known = image.present[address] != 0;
    if (known && image.data[address] != payload[i]) {
      why = "address " + hex(address, 5) + " is given " + hex(payload[i], 2) + " here but " +
            hex(image.data[address], 2) + " on line " + std::to_string(reading.defined_on[address]);
      return false;
    }
    if (!known) reading.defined_on[address] = line_number;
    image.present[address] = 1;
    image.data[address] = payload[i];
  }
  return true;
}

// Applies one decoded record; false with the reason when it is refused.
bool apply_record(Reading &reading, const std::vector<std::uint8_t> &bytes, int line_number, std::string &why) {
  const std::uint32_t count = bytes[0];
  const std::uint8_t type = bytes[3];
  switch (type) {
  case DATA:
    return apply_data(reading, bytes, line_number, why);
  case END_OF_FILE:
    if (count != 0) {
      why = "end-of-file record carries data";
      return false;
    }
    reading.ended = true;
    return true;
  case EXTENDED_SEGMENT_ADDRESS:
  case EXTENDED_LINEAR_ADDRESS: {
    if (count != 2) {
      why = "extended address record must carry 2 bytes";
      return false;
    }
    const std::uint32_t value = static_cast<std::uint32_t>(bytes[4]) << 8 | bytes[5];
    reading.base = type == EXTENDED_LINEAR_ADDRESS ? value << 16 : value << 4;
    return true;
  }
  case START_SEGMENT_ADDRESS:
  case START_LINEAR_ADDRESS:
    // The start address means nothing to the device's bootloader.
    if (count != 4) {
      why = "start address record must carry 4 bytes";
      return false;
    }
    return true;
  default:
    why = "unknown record type " + hex(type, 2);
    return false;
  }
}

} // namespace

bool parse_intel_hex(const std::string &text, std::uint32_t capacity, SparseImage &image, HexFault &fault) {
  Reading reading;
  reading.image.present.assign(capacity, 0);
  reading.image.data.assign(capacity, 0);
  reading.defined_on.assign(capacity, 0);

  auto refuse = [&](int line, const std::string &why) {
    fault.line = line;
    fault.message = why;
    image = SparseImage{};
    return false;
  };

  int line_number = 0;
  std::vector<std::uint8_t> bytes;
  std::string why;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    if (reading.ended) {
      if (!line.empty()) return refuse(line_number, "record after the end-of-file record");
      continue;
    }
    if (!decode_record(line, bytes, why) || !apply_record(reading, bytes, line_number, why)) {
      return refuse(line_number, why);
    }
  }
  if (!reading.ended) return refuse(0, "file ends without an end-of-file record");

  image = std::move(reading.image);
  fault = HexFault{};
  return true;
}

bool read_intel_hex_file(const std::string &path, std::uint32_t capacity, SparseImage &image, HexFault &fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fault.line = 0;
    fault.message = std::string("cannot be read: ") + std::strerror(errno);
    image = SparseImage{};
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse_intel_hex(text.str(), capacity, image, fault);
}

std::string format_intel_hex(const SparseImage &image) {
  std::string out;
  char line[64];
  auto record = [&](std::uint8_t type, std::uint32_t offset, const std::uint8_t *payload, std::uint32_t count) {
    unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
    int n = std::snprintf(line, sizeof line, ":%02X%04X%02X", count, offset, type);
    out.append(line, static_cast<std::size_t>(n));
    for (std::uint32_t i = 0; i < count; ++i) {
      n = std::snprintf(line, sizeof line, "%02X", payload[i]);
      out.append(line, static_cast<std::size_t>(n));
      sum += payload[i];
    }
    n = std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out.append(line, static_cast<std::size_t>(n));
  };

  std::uint32_t window = 0;
  const auto size = static_cast<std::uint32_t>(image.present.size());
  for (std::uint32_t address = 0; address < size;) {
    if (image.present[address] == 0) {
      ++address;
      continue;
    }
    // A run of present bytes, at most 16 and never across a 64 KiB window.
    std::uint32_t count = 0;
    while (count < 16 && address + count < size && image.present[address + count] != 0 &&
           ((address + count) >> 16) == (address >> 16)) {
      ++count;
    }
    if ((address >> 16) != window) {
      window = address >> 16;
      const std::uint8_t upper[2] = {static_cast<std::uint8_t>(window >> 8), static_cast<std::uint8_t>(window)};
      record(EXTENDED_LINEAR_ADDRESS, 0, upper, 2);
    }
    record(DATA, address & 0xFFFF, image.data.data() + address, count);
    address += count;
  }
  record(END_OF_FILE, 0, nullptr, 0);
  return out;
}
