// Payloads for report writer tests, and the bytes a device must receive for
// them. Shared by the Linux and the Windows writer tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// size bytes in a pattern that shows any shift, loss or repeat.
inline std::vector<unsigned char> payload_of(std::size_t size) {
  std::vector<unsigned char> payload(size);
  for (std::size_t i = 0; i < size; ++i)
    payload[i] = static_cast<unsigned char>(i * 7 + 3);
  return payload;
}

// Report ID 0 in front of the payload: what the device must receive.
inline std::vector<unsigned char> framed(const std::vector<unsigned char> &payload) {
  std::vector<unsigned char> report(payload.size() + 1, 0x00);
  std::copy(payload.begin(), payload.end(), report.begin() + 1);
  return report;
}
