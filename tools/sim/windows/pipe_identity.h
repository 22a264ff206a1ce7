// The first message a simulated bootloader pipe sends on every new connection:
// the HID attributes of the interface it stands for. The stand-in HID library
// reads it on the handle the updater opened, so the attributes it answers
// belong to that very handle.
#pragma once

#include <cstdint>

constexpr unsigned char PIPE_IDENTITY_MAGIC[4] = {'K', 'H', 'I', 'D'};
constexpr std::uint32_t PIPE_IDENTITY_SIZE = 12;

// Magic, then vendor ID, product ID, version number and the output report's
// length as the HID class driver counts it (report ID byte included), each
// 16 bits little-endian.
struct PipeIdentity {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::uint16_t version_number;
  // The bootloader's by default.
  std::uint16_t output_report_length = 1089;
};

inline void encode_pipe_identity(const PipeIdentity &identity, unsigned char *message) {
  for (int i = 0; i < 4; ++i) {
    message[i] = PIPE_IDENTITY_MAGIC[i];
  }
  const std::uint16_t fields[4] = {identity.vendor_id, identity.product_id, identity.version_number,
                                   identity.output_report_length};
  for (int i = 0; i < 4; ++i) {
    message[4 + 2 * i] = static_cast<unsigned char>(fields[i] & 0xFF);
    message[5 + 2 * i] = static_cast<unsigned char>(fields[i] >> 8);
  }
}

// False when message is not an identity message of exactly size bytes.
inline bool decode_pipe_identity(const unsigned char *message, std::uint32_t size, PipeIdentity *identity) {
  if (size != PIPE_IDENTITY_SIZE) {
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (message[i] != PIPE_IDENTITY_MAGIC[i]) {
      return false;
    }
  }
  std::uint16_t fields[4];
  for (int i = 0; i < 4; ++i) {
    fields[i] = static_cast<std::uint16_t>(message[4 + 2 * i] | (message[5 + 2 * i] << 8));
  }
  identity->vendor_id = fields[0];
  identity->product_id = fields[1];
  identity->version_number = fields[2];
  identity->output_report_length = fields[3];
  return true;
}
