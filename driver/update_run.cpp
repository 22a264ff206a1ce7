// The update run from banner to exit status.
#include "driver/update_run.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "hid/bootloader_link.h"
#include "image/image_store.h"

namespace {

// The block that follows address in the pass: the next one holding a present
// byte other than ERASED_BYTE, or CODE_SIZE when there is none.
device_address next_block_with_data(device_address address) {
  while (address < CODE_SIZE &&
         !(image_range_has_data(address, address + BLOCK_SIZE - 1) && !image_block_is_blank(address, BLOCK_SIZE))) {
    address += BLOCK_SIZE;
  }
  return address;
}

} // namespace

void build_block_report(device_address address, unsigned char *report) {
  report[0] = static_cast<unsigned char>(address & 0xFF);
  report[1] = static_cast<unsigned char>((address >> 8) & 0xFF);
  report[2] = static_cast<unsigned char>((address >> 16) & 0xFF);
  std::memset(report + 3, 0, BLOCK_HEADER_SIZE - 3);
  image_read(address, BLOCK_SIZE, report + BLOCK_HEADER_SIZE);
}

int run_update() {
  log_progress("Korvane_Updater with firmware version 9.32\n\n");

  if (!bootloader_open()) {
    bootloader_explain_absence();
    fail_and_hold("No Korvane device found!\nPlease connect Korvane using USB Micro cable\n\n"
                  "Only in case of erased firmware, please insert a pin into the backup\n"
                  "firmware update switch on the bottom side of the Brenlow device\n\n"
                  "Please close this window and try again\n");
  }

  log_progress("Korvane device detected\n");
  // Checked before the first report, so that a refusal leaves the device
  // untouched.
  if (const char *refusal = image_write_refusal()) {
    fail_and_hold("%s", refusal);
  }
  log_progress("Writing firmware");
  std::fflush(stdout);

  // One report buffer serves every block. Block 0 is always sent, whatever
  // the image holds there; later blocks only when they hold data.
  unsigned char report[BLOCK_REPORT_SIZE];
  bool first_block = true;
  for (device_address address = 0; address < CODE_SIZE; address = next_block_with_data(address + BLOCK_SIZE)) {
    log_progress(".");
    build_block_report(address, report);
    const double timeout = first_block ? FIRST_BLOCK_TIMEOUT_SECONDS : BLOCK_TIMEOUT_SECONDS;
    if (!bootloader_send(report, BLOCK_REPORT_SIZE, timeout)) {
      fail_and_hold("error writing to Korvane\n");
    }
    first_block = false;
  }
  log_progress("\n");

  bootloader_close();

  log_progress("Korvane firmware version 9.32 updated succesfully\n");
  log_progress("\n");
  log_progress("Please close this window and disconnect USB Micro cable to restart the Korvane\n");

  pause_seconds(HOLD_SECONDS);
  return 0;
}
