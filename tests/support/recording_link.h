// A bootloader link and a platform sleep that record what the update run asks
// of them, for running the real update run and console code without a
// device and without waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/child_process.h"

// What the link does when asked.
struct LinkScript {
  bool device_present = true;
  int fail_at = 0;                      // the send (counted from 1) that fails; 0 for none
  std::function<void()> print_reason{}; // prints the failing send's reason
};

struct LinkEvent {
  enum Kind { OPEN, SEND, CLOSE, SLEEP } kind;
  explicit LinkEvent(Kind what) : kind(what) {}

  std::vector<std::uint8_t> report; // SEND: the bytes handed over
  double timeout_seconds = 0;       // SEND
  std::uint32_t milliseconds = 0;   // SLEEP
  std::size_t unflushed_stdout = 0; // bytes still buffered in stdout then
};

struct RecordedRun {
  ChildResult process;
  std::vector<LinkEvent> events;

  std::vector<const LinkEvent *> of_kind(LinkEvent::Kind kind) const;
  std::string kinds() const; // e.g. "O S S C P": open, send, close, pause
};

// Runs the update run in a child process over the recording link and sleep.
RecordedRun run_update_recorded(const LinkScript &script);

// The recording link's own state, for tests that run code in-process.
extern LinkScript link_script;
extern std::vector<LinkEvent> link_events;
