// The firmware image the updater carries: a sparse copy of the device's
// program memory, fixed when the program is built.
#pragma once

#include <cstdint>

#include "common/types.h"

// Addresses 0 .. IMAGE_CAPACITY - 1 can be described; everything above is
// outside the image and reads as ERASED_BYTE.
constexpr std::int32_t IMAGE_CAPACITY = 0x3B000;

// Presence map: nonzero where the image defines the byte at that address.
extern const unsigned char image_presence[IMAGE_CAPACITY];
// Data bytes, parallel to the presence map; meaningful only where present.
extern const unsigned char image_data[IMAGE_CAPACITY];

// True when first..last (inclusive) lies wholly inside the image and at least
// one address in it is present.
bool image_range_has_data(device_address first, device_address last);

// True when no present byte other than ERASED_BYTE lies in
// address .. address + count - 1, and for any request that is empty or
// reaches outside the image.
bool image_block_is_blank(device_address address, std::int32_t count);

// Writes count bytes of the image from address on to out, ERASED_BYTE for
// absent bytes; a request reaching past the image reads as all ERASED_BYTE.
void image_read(device_address address, std::int32_t count, unsigned char *out);

// Why this build must not write its image to a device, as a message ending in
// a line break; nullptr when it may. Only a build that carries the
// placeholder in place of the firmware has a reason.
const char *image_write_refusal();
