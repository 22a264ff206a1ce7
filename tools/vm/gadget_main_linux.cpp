// korvane_gadget: the bootloader played by a USB device that the kernel
// itself emulates, for tests in a virtual machine whose kernel has the dummy
// host controller and the USB gadget HID function:
//
//   korvane_gadget [--expect-hex FILE] [--trace FILE] [--stall-at N] [--unplug-after N] [--report-size BYTES]
//                  -- COMMAND [ARGS...]
//
// It plugs in a HID gadget with the bootloader's identity (or, with
// --report-size, a board with the same IDs whose output report holds another
// number of bytes), waits until the
// host side (usbhid, hidraw) has its node, runs COMMAND and reads the reports
// the host sends while COMMAND runs. Each report is checked, and the memory
// compared, exactly as the simulated bootloader does. When COMMAND has ended
// it unplugs the gadget, gives its verdict on standard error and exits with
// COMMAND's status, or 99 when a report broke the protocol or the memory
// differs from FILE, or 125 when the device cannot be set up.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "command_linux.h"
#include "report_check.h"

namespace {

constexpr int EXIT_SETUP_FAILED = 125;
constexpr int EXIT_CHECK_FAILED = 99;

const char USAGE[] = "usage: korvane_gadget [options] -- COMMAND [ARGS...]\n"
                     "Runs COMMAND with the bootloader (16C0:0478) plugged in as a USB gadget, and\n"
                     "checks the block reports the host sends it.\n"
                     "  --expect-hex FILE  compare the memory the reports programmed with FILE\n"
                     "  --trace FILE       for each report, its block address and the milliseconds\n"
                     "                     since the first one arrived whole\n"
                     "  --stall-at N       stop reading before report N (from 1): it is never taken\n"
                     "  --unplug-after N   unplug the device once report N has arrived\n"
                     "  --report-size BYTES  its output report holds BYTES bytes, not the 1088 of\n"
                     "                     the block report: a board that only shares the IDs\n";

const std::string GADGET = "/sys/kernel/config/usb_gadget/korvane";
const std::string DEVICE_NODE = "/dev/hidg0";
const char BOOTLOADER_HID_ID[] = "HID_ID=0003:000016C0:00000478";

// The device describes itself with bootloader_report_descriptor: one
// vendor-defined output report, no report ID; the report ID the host writes
// ahead of the block report, 0, means exactly that and never goes over the
// wire.
// The gadget's interrupt packets; a block report arrives in 17 of them.
constexpr std::size_t PACKET_SIZE = 64;
constexpr std::size_t BLOCK_REPORT_SIZE = bootloader_device::REPORT_SIZE - 1;

struct Options {
  std::string expect_hex, trace;
  unsigned long stall_at = 0, unplug_after = 0;
  unsigned long report_size = BLOCK_REPORT_SIZE;
  std::vector<std::string> command;
};

bool parse_options(int argc, char **argv, Options &options) {
  int i = 1;
  for (; i + 1 < argc && std::strcmp(argv[i], "--") != 0; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    char *end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 10);
    const bool is_number = !value.empty() && *end == '\0' && number > 0 && value[0] != '-';
    if (option == "--expect-hex") {
      options.expect_hex = value;
    } else if (option == "--trace") {
      options.trace = value;
    } else if (option == "--stall-at" && is_number) {
      options.stall_at = number;
    } else if (option == "--unplug-after" && is_number) {
      options.unplug_after = number;
    } else if (option == "--report-size" && is_number && number <= 4096) {
      options.report_size = number;
    } else {
      return false;
    }
  }
  if (i + 1 >= argc || std::strcmp(argv[i], "--") != 0) return false;
  options.command.assign(argv + i + 1, argv + argc);
  return true;
}

bool write_file(const std::string &path, const void *bytes, std::size_t size) {
  std::ofstream file(path, std::ios::binary);
  file.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(size));
  file.close();
  return file.good();
}

bool write_file(const std::string &path, const std::string &text) { return write_file(path, text.data(), text.size()); }

// The gadget in configfs, made once per boot: the bootloader's identity, one
// configuration with one HID function, whose report descriptor each run sets
// for its report size.
bool make_gadget(std::size_t report_size, std::string &error) {
  const std::string function = GADGET + "/functions/hid.usb0";
  const std::string configuration = GADGET + "/configs/c.1";
  const std::string in_configuration = configuration + "/hid.usb0";
  if (access(GADGET.c_str(), F_OK) != 0) {
    for (const std::string &folder : {GADGET, GADGET + "/strings/0x409", configuration, function}) {
      if (mkdir(folder.c_str(), 0755) != 0) {
        error = "cannot make " + folder + ": " + std::strerror(errno) + " (configfs, libcomposite, usb_f_hid?)";
        return false;
      }
    }
    if (!write_file(GADGET + "/idVendor", "0x16c0") || !write_file(GADGET + "/idProduct", "0x0478") ||
        !write_file(GADGET + "/bcdDevice", "0x0100") ||
        !write_file(GADGET + "/strings/0x409/product", "Korvane bootloader")) {
      error = "cannot set up the gadget in " + GADGET;
      return false;
    }
  } else {
    // The function takes a new descriptor only while no configuration holds it.
    unlink(in_configuration.c_str());
  }
  const std::vector<std::uint8_t> descriptor = bootloader_report_descriptor(report_size);
  if (!write_file(function + "/report_length", std::to_string(PACKET_SIZE)) ||
      !write_file(function + "/report_desc", descriptor.data(), descriptor.size()) ||
      symlink(function.c_str(), in_configuration.c_str()) != 0) {
    error = "cannot set up the gadget's HID function in " + function + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string first_device_controller() {
  std::string name;
  if (DIR *folder = opendir("/sys/class/udc")) {
    while (const dirent *entry = readdir(folder)) {
      if (entry->d_name[0] != '.') name = entry->d_name;
    }
    closedir(folder);
  }
  return name;
}

bool host_has_bootloader() {
  bool found = false;
  if (DIR *folder = opendir("/sys/class/hidraw")) {
    while (const dirent *entry = readdir(folder)) {
      std::ifstream uevent(std::string("/sys/class/hidraw/") + entry->d_name + "/device/uevent");
      for (std::string line; std::getline(uevent, line);) {
        if (line == BOOTLOADER_HID_ID) found = true;
      }
    }
    closedir(folder);
  }
  return found;
}

// Plugs the gadget in and waits until the host has enumerated it and made
// its hidraw node; returns the gadget side's node, open for reading.
int plug(std::string &error) {
  const std::string controller = first_device_controller();
  if (controller.empty()) {
    error = "no USB device controller (dummy_hcd?)";
    return -1;
  }
  // The host's node of an earlier plug goes first, so the command cannot
  // meet that one.
  const auto stale_gone = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (host_has_bootloader() && std::chrono::steady_clock::now() < stale_gone)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!write_file(GADGET + "/UDC", controller)) {
    error = "cannot bind the gadget to " + controller;
    return -1;
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!host_has_bootloader() || access(DEVICE_NODE.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      error = "the host never showed the gadget as a hidraw node";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int node = open(DEVICE_NODE.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (node < 0) error = "cannot open " + DEVICE_NODE + ": " + std::strerror(errno);
  return node;
}

// Unbinding the gadget is the cable pulled out; it also drops whatever the
// function still holds, so the next plug starts clean.
void unplug() { write_file(GADGET + "/UDC", "\n"); }

class ReportReader {
public:
  ReportReader(const Options &options, FILE *trace)
      : options_(options), trace_(trace), reading_(options.stall_at != 1) {}

  // Whether the device still reads: not once a stall or an unplug began.
  bool reading() const { return reading_; }

  // Takes what the node has; false when it failed.
  bool read_available(int node) {
    unsigned char packet[BLOCK_REPORT_SIZE];
    for (;;) {
      const ssize_t got = read(node, packet, sizeof packet);
      if (got < 0) return errno == EAGAIN || errno == EINTR;
      if (got == 0) return true;
      for (ssize_t i = 0; i < got; ++i) {
        report_.push_back(packet[i]);
        if (report_.size() == 1 + BLOCK_REPORT_SIZE) take_report();
      }
      if (!reading_) return true;
    }
  }

  // A report cut short when COMMAND ended still counts, as the fault it is.
  void finish() {
    if (report_.size() > 1) checker.receive(report_.data(), report_.size(), false);
  }

  ReportChecker checker;
  bool unplugged = false;

private:
  void take_report() {
    const auto now = std::chrono::steady_clock::now();
    if (checker.reports() == 0) first_ = now;
    checker.receive(report_.data(), report_.size(), true);
    if (trace_ != nullptr) {
      const std::chrono::duration<double, std::milli> since_first = now - first_;
      std::fprintf(trace_, "%s %.3f\n",
                   format_block_address(report_block_address(report_.data(), report_.size())).c_str(),
                   since_first.count());
      std::fflush(trace_);
    }
    report_.assign(1, 0);
    const unsigned long taken = checker.reports();
    if (taken + 1 == options_.stall_at) reading_ = false;
    if (taken == options_.unplug_after) {
      unplug();
      unplugged = true;
      reading_ = false;
    }
  }

  const Options &options_;
  FILE *trace_;
  std::vector<std::uint8_t> report_ = std::vector<std::uint8_t>(1, 0); // report ID 0, then the bytes received
  std::chrono::steady_clock::time_point first_;
  bool reading_;
};

int setup_failed(const std::string &why) {
  std::fprintf(stderr, "korvane_gadget: %s\n", why.c_str());
  return EXIT_SETUP_FAILED;
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "%s", USAGE);
    return EXIT_SETUP_FAILED;
  }
  std::string error;
  ExpectedUpdate expected;
  if (!options.expect_hex.empty() && !expected_update_from_hex(options.expect_hex, expected, error)) {
    return setup_failed(error);
  }
  FILE *trace = nullptr;
  if (!options.trace.empty() && (trace = std::fopen(options.trace.c_str(), "we")) == nullptr) {
    return setup_failed("cannot write " + options.trace + ": " + std::strerror(errno));
  }

  unplug(); // in case an earlier run left it in
  if (!make_gadget(options.report_size, error)) return setup_failed(error);
  const int node = plug(error);
  if (node < 0) {
    unplug();
    return setup_failed(error);
  }

  sigset_t original_mask;
  const int signal_fd = take_over_signals(original_mask);
  const pid_t child = start_command(options.command, original_mask, "korvane_gadget");
  if (signal_fd < 0 || child < 0) {
    unplug();
    return setup_failed(std::string("cannot start the command: ") + std::strerror(errno));
  }

  // Reads while COMMAND runs; signals for the gadget are passed on to it.
  ReportReader reader(options, trace);
  int status = -1;
  int read_error = 0;
  while (status < 0) {
    pollfd fds[] = {{signal_fd, POLLIN, 0}, {reader.reading() ? node : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0 && !reader.read_available(node)) {
      read_error = errno;
      break;
    }
    signalfd_siginfo info{};
    if (fds[0].revents == 0 || read(signal_fd, &info, sizeof info) != sizeof info) continue;
    if (info.ssi_signo != SIGCHLD) {
      kill(child, static_cast<int>(info.ssi_signo));
      continue;
    }
    int wait_status = 0;
    if (waitpid(child, &wait_status, WNOHANG) == child) status = wait_status;
  }
  if (status < 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  reader.finish();
  close(node);
  if (!reader.unplugged) unplug();
  if (trace != nullptr) std::fclose(trace);

  int exit_status = EXIT_SETUP_FAILED;
  std::string ending =
      read_error != 0 ? "reading the device failed: " + std::string(std::strerror(read_error)) + "; " : "";
  if (WIFEXITED(status)) {
    exit_status = WEXITSTATUS(status);
    ending += "command exited with " + std::to_string(exit_status);
  } else if (WIFSIGNALED(status)) {
    exit_status = 128 + WTERMSIG(status);
    ending += "command killed by signal " + std::to_string(WTERMSIG(status));
  }
  ReportChecker &checker = reader.checker;
  if (!checker.failed() && !options.expect_hex.empty()) checker.compare(expected);
  if (checker.failed()) {
    std::fprintf(stderr, "korvane_gadget: FAIL: %s [%s]\n", checker.fault().c_str(), ending.c_str());
    return EXIT_CHECK_FAILED;
  }
  std::fprintf(stderr, "korvane_gadget: %zu reports, %s [%s%s]\n", checker.reports(),
               options.expect_hex.empty() ? "every report well-formed"
                                          : ("memory matches image (" + options.expect_hex + ")").c_str(),
               reader.unplugged ? "unplugged; " : "", ending.c_str());
  return read_error != 0 ? EXIT_SETUP_FAILED : exit_status;
}
