// Writing one HID output report on Windows: an overlapped WriteFile whose
// completion is awaited on write_event for a bounded time.
#include "hid/hid_writer_windows.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "hid/hid_device.h"

HANDLE write_event = nullptr;

// Once a request has been issued, the system may use the report buffer and
// the OVERLAPPED record until the request is over, and both live on this
// call's stack. A call that gives up on a request therefore cancels it and
// waits here until the system is done with it before returning. Polls the
// record rather than waiting on the event, which may be what failed.
static void wait_until_over(const OVERLAPPED *request) {
  while (!HasOverlappedIoCompleted(request)) {
    Sleep(1);
  }
}

bool hid_write_report(device_handle device, const unsigned char *payload, std::uint32_t size, milliseconds timeout_ms) {
  if (!hid_pause_and_check_size(size)) return false;

  if (write_event == nullptr) {
    write_event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (write_event == nullptr) {
      log_progress("Unable to create event, why?\n");
      return false;
    }
  }
  ResetEvent(write_event);

  OVERLAPPED request;
  std::memset(&request, 0, sizeof request);
  request.hEvent = write_event;

  unsigned char buffer[REPORT_BUFFER_SIZE];
  buffer[0] = REPORT_ID;
  std::memcpy(buffer + 1, payload, size);

  if (WriteFile(device, buffer, size + 1, nullptr, &request) == FALSE) {
    if (GetLastError() != ERROR_IO_PENDING) {
      std::puts("Non-ERROR_IO_PENDING");
      return false;
    }
    const DWORD waited = WaitForSingleObject(write_event, timeout_ms);
    if (waited == WAIT_TIMEOUT) {
      log_progress("Timed out writing to device.\n");
      CancelIo(device);
      wait_until_over(&request);
      return false;
    }
    if (waited != WAIT_OBJECT_0) {
      log_progress("Not waiting.\n");
      CancelIo(device);
      wait_until_over(&request);
      return false;
    }
  }

  DWORD transferred = 0;
  if (GetOverlappedResult(device, &request, &transferred, FALSE) == FALSE) {
    print_system_error();
    // A request still pending here must not outlive the call either.
    if (!HasOverlappedIoCompleted(&request)) {
      CancelIo(device);
      wait_until_over(&request);
    }
    return false;
  }
  if (transferred == 0) {
    log_progress("Number of bytes transfered was less than or equal to zero\n");
    return false;
  }
  return true;
}
