// Device handle on POSIX systems: the file descriptor of an open hidraw node.
#pragma once

typedef int device_handle;

// No device held. Descriptor 0 is a real descriptor here, so -1 marks empty.
constexpr device_handle NO_DEVICE = -1;
