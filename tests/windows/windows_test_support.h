// Shared helpers of the Windows tests: a recording platform sleep, capture of
// standard output, and the process's handle count.
#pragma once

#include <functional>
#include <string>
#include <vector>
#include <windows.h>

#include "common/types.h"

// Every pause the code under test handed to the platform's sleep, in order.
// The pauses are really taken, so that time-outs behave as in the program.
extern std::vector<milliseconds> recorded_pauses;

// Called after each pause when set: lets a test act once the writer's pause
// is over and its write is about to be issued.
extern std::function<void()> after_pause;

// Clears the record and the hook; for the start of each test.
void reset_recorded_pauses();

// Collects what the process writes to standard output while it is active.
class StdoutCapture {
public:
  StdoutCapture();
  ~StdoutCapture();
  // Ends the capture (flushing the C streams) and returns the text, with the
  // runtime's text-mode CR LF turned back into LF.
  std::string finish();

private:
  bool active_ = true;
};

// Text with every CR LF made LF.
std::string with_plain_line_breaks(std::string text);

// Handles the process holds now.
DWORD process_handle_count();
