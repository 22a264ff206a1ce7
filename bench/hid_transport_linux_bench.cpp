// What the Linux transport adds to an update, apart from the 250 ms pause
// before each write (the pause is skipped here): the helper thread per
// report, and the device search's fresh look at the class folder per step.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "hid/hid_discovery_linux.h"
#include "report_check.h"

void sleep_milliseconds(milliseconds) {}

namespace {

// One block report written through the helper to a device that takes it at
// once.
void BM_WriteReport(benchmark::State &state) {
  const int device = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const std::vector<unsigned char> report(1088, 0x5A);
  for (auto _ : state) {
    if (!hid_write_report(device, report.data(), 1088, 250)) state.SkipWithError("write failed");
  }
  close(device);
}
BENCHMARK(BM_WriteReport)->UseRealTime();

// The search over N interfaces with the bootloader last.
void BM_FindDevice(benchmark::State &state) {
  namespace fs = std::filesystem;
  char name[] = "/tmp/korvane-bench-XXXXXX";
  const fs::path root = mkdtemp(name);
  fs::create_directories(root / "dev");
  const long count = state.range(0);
  for (long n = 0; n < count; ++n) {
    const std::string node = "hidraw" + std::to_string(n);
    fs::create_directories(root / "class" / node / "device");
    std::ofstream(root / "class" / node / "device" / "uevent")
        << "HID_ID=0003:000016C0:" << (n == count - 1 ? "00000478" : "00000001") << "\n";
    const std::vector<std::uint8_t> descriptor = bootloader_report_descriptor();
    std::ofstream(root / "class" / node / "device" / "report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char *>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
    std::ofstream(root / "dev" / node);
  }
  for (auto _ : state) {
    const int device = hid_find_device_in((root / "class").c_str(), (root / "dev").c_str(), BOOTLOADER_VENDOR_ID,
                                          BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH);
    if (device == NO_DEVICE) state.SkipWithError("not found");
    close(device);
  }
  fs::remove_all(root);
}
BENCHMARK(BM_FindDevice)->Arg(1)->Arg(16)->Arg(128)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
