#include "sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char SIM_USAGE[] = "usage: korvane_sim [options] -- COMMAND [ARGS...]\n"
                         "Runs COMMAND with simulated HID devices in place of the system's, and checks\n"
                         "the block reports written to them.\n"
                         "  --device VID:PID[/BYTES][@MODE]  a simulated HID device (hex IDs;\n"
                         "                     repeatable, in enumeration order; default one\n"
                         "                     bootloader, 16C0:0478) whose output report holds BYTES\n"
                         "                     bytes (decimal, up to 12288; default 1088, the block\n"
                         "                     report's) and whose node has the permissions MODE\n"
                         "                     (octal; default 660: other users cannot open it)\n"
                         "  --no-device        no HID device at all\n"
                         "  --expect-hex FILE  compare the memory the reports programmed with FILE\n"
                         "  --trace FILE       write each report's block address to FILE, one per line\n"
                         "  --stall-at N       report N (from 1) never completes\n"
                         "  --fail-at N:ERRNO  report N fails with that errno (19: device unplugged)\n"
                         "  --zero-at N        report N completes with 0 bytes written\n"
                         "  --delay-ms MS      every write takes MS milliseconds\n"
                         "  --root-file PATH   run COMMAND in an empty root holding only the files\n"
                         "                     given so (absolute paths; repeatable), /dev, /sys and /proc\n"
                         "Exit status: COMMAND's (128 + signal when it was killed), 99 when a report\n"
                         "broke the protocol or the memory differs from FILE, 77 when this machine\n"
                         "offers no user or mount namespaces or no FUSE, 125 when the simulation\n"
                         "cannot be set up otherwise, 126/127 when COMMAND cannot be run.\n";

namespace {

bool parse_number(const char *text, int base, unsigned long limit, unsigned long &value) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long parsed = std::strtoul(text, &end, base);
  if (errno != 0 || *end != '\0' || parsed > limit) return false;
  value = parsed;
  return true;
}

bool parse_device(std::string text, SimulatedDevice &device) {
  const std::size_t at = text.find('@');
  if (at != std::string::npos) {
    unsigned long mode = 0;
    if (!parse_number(text.substr(at + 1).c_str(), 8, 0777, mode)) return false;
    device.node_mode = static_cast<unsigned>(mode);
    text.resize(at);
  }
  const std::size_t slash = text.find('/');
  if (slash != std::string::npos) {
    unsigned long bytes = 0;
    if (!parse_number(text.substr(slash + 1).c_str(), 10, 12288, bytes)) return false;
    device.output_bytes = bytes;
    text.resize(slash);
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 4 || text.size() - colon - 1 > 4) return false;
  unsigned long vendor = 0, product = 0;
  if (!parse_number(text.substr(0, colon).c_str(), 16, 0xFFFF, vendor) ||
      !parse_number(text.substr(colon + 1).c_str(), 16, 0xFFFF, product)) {
    return false;
  }
  device.vendor_id = static_cast<std::uint16_t>(vendor);
  device.product_id = static_cast<std::uint16_t>(product);
  return true;
}

} // namespace

bool parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error) {
  options = SimOptions{};
  bool no_device = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--") break;
    if (option == "--no-device") {
      no_device = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = option.rfind("--", 0) == 0 ? option + " needs a value" : "unknown argument " + option;
      return false;
    }
    const std::string value = argv[++i];
    unsigned long number = 0;
    if (option == "--device") {
      SimulatedDevice device;
      if (!parse_device(value, device)) {
        error = "--device takes VID:PID in hex, then /BYTES in decimal and @MODE in octal or nothing, not " + value;
        return false;
      }
      options.devices.push_back(device);
    } else if (option == "--expect-hex") {
      options.expect_hex = value;
    } else if (option == "--trace") {
      options.trace = value;
    } else if (option == "--stall-at" || option == "--zero-at") {
      if (!parse_number(value.c_str(), 10, 0xFFFFFFFFul, number) || number == 0) {
        error = option + " takes a report number from 1, not " + value;
        return false;
      }
      (option == "--stall-at" ? options.stall_at : options.zero_at) = number;
    } else if (option == "--fail-at") {
      const std::size_t colon = value.find(':');
      unsigned long code = 0;
      if (colon == std::string::npos || !parse_number(value.substr(0, colon).c_str(), 10, 0xFFFFFFFFul, number) ||
          number == 0 || !parse_number(value.substr(colon + 1).c_str(), 10, 4095, code) || code == 0) {
        error = "--fail-at takes N:ERRNO (both from 1), not " + value;
        return false;
      }
      options.fail_at = number;
      options.fail_errno = static_cast<int>(code);
    } else if (option == "--delay-ms") {
      if (!parse_number(value.c_str(), 10, 3600000, number)) {
        error = "--delay-ms takes milliseconds, not " + value;
        return false;
      }
      options.delay_ms = number;
    } else if (option == "--root-file") {
      if (value.empty() || value[0] != '/') {
        error = "--root-file takes an absolute path, not " + value;
        return false;
      }
      options.root_files.push_back(value);
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (i >= argc || i + 1 >= argc) {
    error = "no COMMAND after --";
    return false;
  }
  if (no_device && !options.devices.empty()) {
    error = "--no-device and --device exclude each other";
    return false;
  }
  if (options.devices.empty() && !no_device) options.devices.push_back(SimulatedDevice{});
  options.command.assign(argv + i + 1, argv + argc);
  return true;
}

ReportFault fault_for_report(const SimOptions &options, unsigned long n) {
  if (n == options.stall_at) return ReportFault::stall;
  if (n == options.fail_at) return ReportFault::fail;
  if (n == options.zero_at) return ReportFault::zero;
  return ReportFault::none;
}
