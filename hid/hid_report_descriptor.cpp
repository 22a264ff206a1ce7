// Only the items that decide the output report's size are read: Report Size
// and Report Count, kept by Push and Pop, multiplied out by each Output main
// item. Any other item with data of its own (usages, extents, units, strings)
// has no bearing on the size and is stepped over; a descriptor with report
// IDs or with anything else is refused rather than guessed at.
#include "hid/hid_report_descriptor.h"

#include <cstdint>

namespace {

// Item prefix: bits 0-1 the data size (3 means 4 bytes), bits 2-3 the type,
// bits 4-7 the tag. 0xFE starts a long item, of which none is defined.
constexpr unsigned char LONG_ITEM_PREFIX = 0xFE;

enum item_type { ITEM_MAIN = 0, ITEM_GLOBAL = 1, ITEM_LOCAL = 2 };

enum main_tag {
  MAIN_INPUT = 0x8,
  MAIN_OUTPUT = 0x9,
  MAIN_COLLECTION = 0xA,
  MAIN_FEATURE = 0xB,
  MAIN_END_COLLECTION = 0xC
};

enum global_tag {
  GLOBAL_REPORT_SIZE = 0x7,
  GLOBAL_REPORT_ID = 0x8,
  GLOBAL_REPORT_COUNT = 0x9,
  GLOBAL_PUSH = 0xA,
  GLOBAL_POP = 0xB
};

// The limits of the Linux kernel's own parser: bits per field, fields per
// item, Push depth, and the largest report (its buffer less the ID byte).
constexpr std::uint32_t REPORT_SIZE_MAX = 256;
constexpr std::uint32_t REPORT_COUNT_MAX = 12288;
constexpr int PUSH_DEPTH_MAX = 4;
constexpr std::uint64_t REPORT_BITS_MAX = std::uint64_t{16384 - 1} * 8;

struct field_layout {
  std::uint32_t report_size;
  std::uint32_t report_count;
};

// What the items read so far have declared.
struct descriptor_reading {
  field_layout layout;
  field_layout pushed[PUSH_DEPTH_MAX];
  int push_depth;
  long open_collections;
  std::uint64_t output_bits;
};

// False for an item this reader refuses.
bool take_main_item(descriptor_reading &reading, unsigned tag) {
  switch (tag) {
  case MAIN_OUTPUT:
    reading.output_bits += static_cast<std::uint64_t>(reading.layout.report_size) * reading.layout.report_count;
    return reading.output_bits <= REPORT_BITS_MAX;
  case MAIN_INPUT:
  case MAIN_FEATURE:
    return true;
  case MAIN_COLLECTION:
    ++reading.open_collections;
    return true;
  case MAIN_END_COLLECTION:
    if (reading.open_collections == 0) return false;
    --reading.open_collections;
    return true;
  default:
    return false;
  }
}

bool take_global_item(descriptor_reading &reading, unsigned tag, std::uint32_t data) {
  switch (tag) {
  case GLOBAL_REPORT_SIZE:
    reading.layout.report_size = data;
    return data <= REPORT_SIZE_MAX;
  case GLOBAL_REPORT_COUNT:
    reading.layout.report_count = data;
    return data <= REPORT_COUNT_MAX;
  case GLOBAL_REPORT_ID:
    return false;
  case GLOBAL_PUSH:
    if (reading.push_depth == PUSH_DEPTH_MAX) return false;
    reading.pushed[reading.push_depth++] = reading.layout;
    return true;
  case GLOBAL_POP:
    if (reading.push_depth == 0) return false;
    reading.layout = reading.pushed[--reading.push_depth];
    return true;
  default:
    // Usage Page, the logical and physical extents, Unit Exponent and Unit
    // (tags 0 to 6) have no bearing on the size; 0xC to 0xF are reserved.
    return tag < GLOBAL_REPORT_SIZE;
  }
}

} // namespace

long hid_output_report_length(const unsigned char *descriptor, std::size_t size) {
  descriptor_reading reading = {};
  for (std::size_t at = 0; at < size;) {
    const unsigned char prefix = descriptor[at++];
    if (prefix == LONG_ITEM_PREFIX) return -1;
    const std::size_t data_size = (prefix & 0x3) == 0x3 ? 4 : prefix & 0x3;
    if (size - at < data_size) return -1;
    std::uint32_t data = 0;
    for (std::size_t i = 0; i < data_size; ++i)
      data |= static_cast<std::uint32_t>(descriptor[at + i]) << (8 * i);
    at += data_size;

    const unsigned tag = prefix >> 4;
    const unsigned type = (prefix >> 2) & 0x3;
    // Local items (usages, designators, strings) have no bearing on the size.
    const bool taken = type == ITEM_MAIN     ? take_main_item(reading, tag)
                       : type == ITEM_GLOBAL ? take_global_item(reading, tag, data)
                                             : type == ITEM_LOCAL;
    if (!taken) return -1;
  }
  if (reading.open_collections != 0) return -1;
  if (reading.output_bits == 0) return 0;
  return static_cast<long>((reading.output_bits + 7) / 8 + 1);
}
