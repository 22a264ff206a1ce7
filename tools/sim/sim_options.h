// The simulated bootloader's command line, shared by every platform's
// simulator: korvane_sim [options] -- COMMAND [ARGS...]
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SimulatedDevice {
  std::uint16_t vendor_id = 0x16C0;
  std::uint16_t product_id = 0x0478;
  // The bytes of its one output report, which has no report ID; the
  // bootloader's block report by default.
  std::size_t output_bytes = 1088;
  // The permissions of its node, owned by the simulator's user: like a
  // hidraw node behind a udev rule that grants a group.
  unsigned node_mode = 0660;
};

struct SimOptions {
  std::vector<SimulatedDevice> devices; // in enumeration order
  std::string expect_hex;               // empty: no memory comparison
  std::string trace;                    // empty: no trace file
  // Faults, by report number counted from 1; 0 means none.
  unsigned long stall_at = 0;
  unsigned long fail_at = 0;
  int fail_errno = 0;
  unsigned long zero_at = 0;
  unsigned long delay_ms = 0;
  // Not empty: the command runs in an empty root holding only these files
  // (each at its own path) and the system's /dev, /sys and /proc.
  std::vector<std::string> root_files;
  std::vector<std::string> command;
};

extern const char SIM_USAGE[];

// Parses argv (argv[0] is the program). On a mistake returns false with
// error set; devices defaults to one bootloader unless --no-device is given.
bool parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error);

// What the simulated device does with report number n.
enum class ReportFault { none, stall, fail, zero };
ReportFault fault_for_report(const SimOptions &options, unsigned long n);
