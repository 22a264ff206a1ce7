// korvane_sim: runs a command with simulated HID devices in place of the
// system's and checks what it writes to them as a bootloader would.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command_linux.h"
#include "hidraw_fuse_linux.h"
#include "report_check.h"
#include "sandbox_linux.h"
#include "sim_options.h"

namespace {

constexpr int EXIT_SETUP_FAILED = 125;
constexpr int EXIT_MACHINE_LACKS = 77;
constexpr int EXIT_CHECK_FAILED = 99;

int setup_failed(const std::string &why) {
  std::fprintf(stderr, "korvane_sim: %s\n", why.c_str());
  return EXIT_SETUP_FAILED;
}

// A set-up step the system refused with error_number: where that says the
// machine does not offer namespaces or FUSE to this user, the simulation
// cannot run here at all, which is told apart from a fault of its own.
int setup_refused(const std::string &why, int error_number) {
  const bool machine_lacks = error_number == EPERM || error_number == EACCES || error_number == ENOENT ||
                             error_number == ENODEV || error_number == ENOSPC || error_number == EUSERS ||
                             error_number == EINVAL || error_number == ENOSYS;
  if (!machine_lacks) return setup_failed(why);
  std::fprintf(stderr, "korvane_sim: this machine cannot run the simulation: %s\n", why.c_str());
  return EXIT_MACHINE_LACKS;
}

// VID:PID, then the output report's size and the node's mode where they are
// not the bootloader's, as --device takes them.
std::string device_id(const SimulatedDevice &device) {
  char text[48];
  const SimulatedDevice bootloader;
  int length = std::snprintf(text, sizeof text, "%04X:%04X", device.vendor_id, device.product_id);
  if (device.output_bytes != bootloader.output_bytes)
    length += std::snprintf(text + length, sizeof text - length, "/%zu", device.output_bytes);
  if (device.node_mode != bootloader.node_mode)
    std::snprintf(text + length, sizeof text - length, "@%o", device.node_mode);
  return text;
}

// Serves the devices until the command has ended; returns its wait status.
// SIGINT, SIGTERM and SIGHUP sent to the simulator are passed on to it.
int serve_until_exit(HidrawNodes &nodes, pid_t child, int signal_fd) {
  for (;;) {
    std::vector<pollfd> fds{{signal_fd, POLLIN, 0}};
    for (const int fd : nodes.request_fds())
      fds.push_back({fd, POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), nodes.next_due_ms());
    if (ready < 0 && errno != EINTR) return -1;
    nodes.answer_due();
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) nodes.serve(fds[i].fd);
    }
    if (fds[0].revents == 0) continue;
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != sizeof info) continue;
    if (info.ssi_signo != SIGCHLD) {
      kill(child, static_cast<int>(info.ssi_signo));
      continue;
    }
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return status;
  }
}

} // namespace

int main(int argc, char **argv) {
  SimOptions options;
  std::string error;
  if (!parse_sim_options(argc, argv, options, error)) {
    std::fprintf(stderr, "korvane_sim: %s\n%s", error.c_str(), SIM_USAGE);
    return EXIT_SETUP_FAILED;
  }

  ExpectedUpdate expected;
  if (!options.expect_hex.empty() && !expected_update_from_hex(options.expect_hex, expected, error)) {
    return setup_failed(error);
  }
  FILE *trace = nullptr;
  if (!options.trace.empty()) {
    trace = std::fopen(options.trace.c_str(), "we");
    if (trace == nullptr) return setup_failed("cannot write " + options.trace + ": " + std::strerror(errno));
  }

  // Namespaces first: a user namespace can only be entered while the
  // process has a single thread.
  if (!enter_private_namespace(error)) return setup_refused(error, errno);
  std::vector<int> fuse_fds;
  for (std::size_t i = 0; i < options.devices.size(); ++i) {
    const int fd = open_fuse_device(error);
    if (fd < 0) return setup_refused(error, errno);
    fuse_fds.push_back(fd);
  }
  std::vector<std::string> node_paths;
  if (!build_device_views(options.devices, node_paths, error)) return setup_failed(error);

  ReportChecker checker;
  unsigned long report_number = 0;
  HidrawNodes nodes([&](std::size_t, const std::uint8_t *report, std::size_t size) {
    const ReportFault fault = fault_for_report(options, ++report_number);
    if (trace != nullptr) {
      const long address = report_block_address(report, size);
      std::fprintf(trace, "%s\n", address < 0 ? "(short)" : format_block_address(address).c_str());
      std::fflush(trace);
    }
    // A delayed write counts as taken on arrival: the device has the bytes,
    // it is only slow to say so.
    checker.receive(report, size, fault == ReportFault::none);
    return WriteAnswer{fault, options.fail_errno, std::chrono::milliseconds(options.delay_ms)};
  });
  for (std::size_t i = 0; i < options.devices.size(); ++i) {
    if (!nodes.add(node_paths[i], fuse_fds[i], options.devices[i], error)) return setup_refused(error, errno);
  }

  // After the nodes are mounted, so that the root's /dev holds them.
  std::string root;
  if (!options.root_files.empty() && !build_empty_root(options.root_files, root, error)) {
    if (!root.empty()) remove_empty_root(root);
    return setup_failed(error);
  }

  sigset_t original_mask;
  const int signal_fd = take_over_signals(original_mask);
  if (signal_fd < 0) return setup_failed(std::string("cannot watch signals: ") + std::strerror(errno));

  const pid_t child = start_command(options.command, original_mask, "korvane_sim", root);
  if (child < 0) return setup_failed(std::string("cannot start the command: ") + std::strerror(errno));
  const int status = serve_until_exit(nodes, child, signal_fd);
  nodes.shut_down();
  if (!root.empty()) remove_empty_root(root);
  close(signal_fd);
  if (trace != nullptr) std::fclose(trace);

  int exit_status = EXIT_SETUP_FAILED;
  std::string ending = "could not wait for the command";
  if (status >= 0 && WIFEXITED(status)) {
    exit_status = WEXITSTATUS(status);
    ending = "command exited with " + std::to_string(exit_status);
  } else if (status >= 0 && WIFSIGNALED(status)) {
    exit_status = 128 + WTERMSIG(status);
    ending = "command killed by signal " + std::to_string(WTERMSIG(status));
  }

  std::string verdict;
  if (!checker.failed() && !options.expect_hex.empty() && checker.compare(expected)) {
    verdict = "memory matches image (" + options.expect_hex + ")";
  } else if (!checker.failed() && options.expect_hex.empty()) {
    verdict = "every report well-formed, no image to compare";
  }
  std::string devices;
  for (std::size_t i = 0; i < nodes.stats().size(); ++i) {
    const NodeStats &node = nodes.stats()[i];
    devices += (i == 0 ? "" : "; ") + node.path.substr(5) + " " + device_id(options.devices[i]) + " ";
    devices += node.opens == 0
                   ? "never opened"
                   : "opened " + std::to_string(node.opens) + "x, " + std::to_string(node.reports) + " reports";
  }
  if (devices.empty()) devices = "no devices";
  if (checker.failed()) {
    std::fprintf(stderr, "korvane_sim: FAIL: %s [%s; %s]\n", checker.fault().c_str(), devices.c_str(), ending.c_str());
    return EXIT_CHECK_FAILED;
  }
  std::fprintf(stderr, "korvane_sim: %zu reports, %s [%s; %s]\n", checker.reports(), verdict.c_str(), devices.c_str(),
               ending.c_str());
  return exit_status;
}
