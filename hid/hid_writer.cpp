// The steps every platform's report writer takes first.
#include "console/console.h"
#include "hid/hid_device.h"

bool hid_pause_and_check_size(std::uint32_t size) {
  pause_seconds(WRITE_PAUSE_SECONDS);
  if (size > REPORT_PAYLOAD_LIMIT) {
    log_progress("Attempted to load %i bytes into buffer sized %i.\n", static_cast<int>(size),
                 static_cast<int>(REPORT_BUFFER_SIZE));
    return false;
  }
  return true;
}
