// Shared types of the updater: device addresses, device handles, time units.
#pragma once

#include <cstdint>

// Byte offset in the device's program memory, from 0. Written as 24 bits,
// little-endian, in a block report.
typedef std::int32_t device_address;

// Seconds are doubles where the updater talks about time; the platform's
// wait and sleep calls take milliseconds as an unsigned 32-bit count.
typedef std::uint32_t milliseconds;

// The value every byte of device memory has when nothing defines it.
constexpr unsigned char ERASED_BYTE = 0xFF;

// device_handle and NO_DEVICE come from the platform's own header, which the
// build puts on the include path.
#include "device_handle.h"
