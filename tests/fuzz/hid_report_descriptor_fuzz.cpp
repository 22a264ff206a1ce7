// Fuzz target for the HID report descriptor reader of the Linux device
// search. Each input is a descriptor, copied to a heap block of exactly its
// size, so that any read beyond it ends the run. Besides not crashing, every
// answer must be a length a HID output report can have (or 0 or -1), and
// items with no bearing on the size, put in front (a Usage Page) or behind
// (a Usage and a Unit Exponent), must not change it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hid/hid_report_descriptor.h"

namespace {

long length_of(const std::vector<unsigned char> &bytes) {
  // A block of exactly the descriptor's size, also for an empty one.
  auto *copy = static_cast<unsigned char *>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  const long length = hid_output_report_length(bytes.empty() ? nullptr : copy, bytes.size());
  std::free(copy);
  return length;
}

[[noreturn]] void fail(const char *what, long got, long expected) {
  std::fprintf(stderr, "%s: %ld, expected %ld\n", what, got, expected);
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::vector<unsigned char> descriptor(data, data + size);
  const long length = length_of(descriptor);
  // No report holds more than the kernel's 16 KiB buffer less its ID byte.
  if (length < -1 || length == 1 || length > 16384) fail("length out of range", length, 0);

  std::vector<unsigned char> prefixed = {0x06, 0x00, 0xFF};
  prefixed.insert(prefixed.end(), descriptor.begin(), descriptor.end());
  const long with_usage_page = length_of(prefixed);
  if (with_usage_page != length) fail("a Usage Page in front changed the length", with_usage_page, length);

  std::vector<unsigned char> suffixed = descriptor;
  suffixed.insert(suffixed.end(), {0x09, 0x01, 0x55, 0x00});
  const long with_usage = length_of(suffixed);
  if (length != -1 && with_usage != length)
    fail("a Usage and a Unit Exponent behind changed the length", with_usage, length);
  return 0;
}
