// A simulated bootloader behind one named pipe, for the Windows updater under
// Wine: it plays one HID interface whose device path is the pipe. Every new
// connection first gets the interface's identity (its HID attributes), then
// each message is taken as one output report and checked. Faults can be
// injected at a chosen report.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe_identity.h"
#include "report_check.h"

enum class PipeFault {
  none,
  // Report N is never taken: its write stays pending.
  stall,
  // The connection is broken while report N is being written.
  broken_connection,
  // Report N is taken only after a delay.
  slow_accept,
};

struct PipeBehaviour {
  PipeFault fault = PipeFault::none;
  // 1-based number of the report the fault hits.
  int fault_report = 0;
  // For slow_accept: how long report N waits.
  DWORD accept_delay_ms = 0;
};

// What the updater did to one simulated interface.
struct PipeRecord {
  int connections = 0;
  bool identity_taken = false;
  bool closed_by_client = false;
  bool fault_injected = false;
  // Every message received, whole, in order.
  std::vector<std::vector<std::uint8_t>> reports;
  // The first report that broke the protocol, or after the client closed
  // its end, the first difference between the rebuilt memory and the image;
  // empty when all is well.
  std::string check_fault;
  // Set once the client has closed its end and the memory was compared.
  bool memory_compared = false;
  bool memory_matches = false;
  // Anything that went wrong on the simulator's side of the pipe.
  std::vector<std::string> pipe_errors;
  // GetTickCount64 just before each step that lets the updater go on: [0]
  // before the identity is sent, [n] before report n is read (where a fault
  // is set, once the report's write is under way). Nothing the updater does
  // after such a step can have happened before its tick.
  std::vector<ULONGLONG> release_ticks;
};

class PipeBootloader {
public:
  // Creates the pipe at once, so the interface exists before the updater
  // looks for it, and serves it on a thread of its own. Every report is
  // checked; once the client closes its end, the memory the reports built
  // is compared with what a correct update of the image leaves.
  PipeBootloader(std::string pipe_path, PipeIdentity identity, const ExpectedUpdate &expected,
                 PipeBehaviour behaviour = {});
  ~PipeBootloader();
  PipeBootloader(const PipeBootloader &) = delete;
  PipeBootloader &operator=(const PipeBootloader &) = delete;

  const std::string &path() const { return path_; }
  bool created() const { return pipe_ != INVALID_HANDLE_VALUE; }

  // Waits until the client has closed its end or the simulator has given up
  // on the connection (after a broken connection); false on time-out.
  bool wait_until_done(DWORD timeout_ms) const;

  PipeRecord record() const;

private:
  void serve();
  bool wait_for(OVERLAPPED &request, DWORD *transferred);
  bool send_identity();
  bool report_pending();
  DWORD read_message(std::vector<std::uint8_t> &message);
  void read_reports();
  void take_report(const std::vector<std::uint8_t> &message);
  void note_release();
  void note_error(const std::string &what);

  std::string path_;
  PipeIdentity identity_;
  PipeBehaviour behaviour_;
  const ExpectedUpdate &expected_;
  ReportChecker checker_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE stop_ = nullptr;
  HANDLE done_ = nullptr;
  mutable std::mutex mutex_;
  PipeRecord record_;
  std::thread server_;
};
