// Queries on the built-in image. Every bound is checked in 64 bits so that no
// request, however large its address or count, reads outside the two tables.
#include "image/image_store.h"

#include <cstring>

namespace {

// address + count as a 64-bit sum; no 32-bit request can overflow it.
std::int64_t end_of(device_address address, std::int32_t count) {
  return static_cast<std::int64_t>(address) + static_cast<std::int64_t>(count);
}

} // namespace

bool image_range_has_data(device_address first, device_address last) {
  if (first < 0 || first >= IMAGE_CAPACITY || last < 0 || last >= IMAGE_CAPACITY || first > last) {
    return false;
  }
  for (device_address address = first; address <= last; ++address) {
    if (image_presence[address] != 0) {
      return true;
    }
  }
  return false;
}

bool image_block_is_blank(device_address address, std::int32_t count) {
  // A negative count is outside the domain; it is treated like 0.
  if (address < 0 || count <= 0 || end_of(address, count) > IMAGE_CAPACITY) {
    return true;
  }
  const device_address end = address + count;
  for (device_address at = address; at < end; ++at) {
    if (image_presence[at] != 0 && image_data[at] != ERASED_BYTE) {
      return false;
    }
  }
  return true;
}

void image_read(device_address address, std::int32_t count, unsigned char *out) {
  if (count <= 0) {
    return;
  }
  if (address < 0 || end_of(address, count) > IMAGE_CAPACITY) {
    std::memset(out, ERASED_BYTE, static_cast<std::size_t>(count));
    return;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    out[i] = image_presence[address + i] != 0 ? image_data[address + i] : ERASED_BYTE;
  }
}
