// Device handle on Windows: the HANDLE of an HID interface opened for
// overlapped I/O.
#pragma once

typedef void *device_handle;

// No device held: the null handle, which is not INVALID_HANDLE_VALUE.
constexpr device_handle NO_DEVICE = nullptr;
