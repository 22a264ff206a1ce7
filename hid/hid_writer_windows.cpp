// Writing one HID output report on Windows: an overlapped WriteFile whose
// completion is awaited on write_event for a bounded time.
#include "hid/hid_writer_windows.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "hid/hid_device.h"

HANDLE write_event = nullptr;
OVERLAPPED write_request;

// Once issued, a request may use the report buffer and the OVERLAPPED record
// until the system is done with it, which can be after the call that issued
// it has given up. Both therefore live as long as the process.
static unsigned char report_buffer[REPORT_BUFFER_SIZE];

// Cancels the device's pending request and waits, at most CANCEL_WAIT_MS
// (outside the write's time-out), until the system is done with it. Polls
// the record rather than waiting on the event, which may be what failed. A
// driver that never finishes the cancelled request leaves it pending: the
// buffer and the record stay in use, and later calls refuse to write.
static void cancel_write_request(HANDLE device) {
  CancelIo(device);
  const DWORD start = GetTickCount();
  while (!HasOverlappedIoCompleted(&write_request) && GetTickCount() - start < CANCEL_WAIT_MS) {
    Sleep(1);
  }
}

bool hid_write_report(device_handle device, const unsigned char *payload, std::uint32_t size, milliseconds timeout_ms) {
  if (!hid_pause_and_check_size(size)) return false;

  // An earlier request that outlived its cancel still owns the buffer, the
  // record and the event: this write is refused rather than issued over it.
  if (!HasOverlappedIoCompleted(&write_request)) {
    std::puts("Non-ERROR_IO_PENDING");
    return false;
  }

  if (write_event == nullptr) {
    write_event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (write_event == nullptr) {
      log_progress("Unable to create event, why?\n");
      return false;
    }
  }
  ResetEvent(write_event);

  std::memset(&write_request, 0, sizeof write_request);
  write_request.hEvent = write_event;

  report_buffer[0] = REPORT_ID;
  std::memcpy(report_buffer + 1, payload, size);

  if (WriteFile(device, report_buffer, size + 1, nullptr, &write_request) == FALSE) {
    if (GetLastError() != ERROR_IO_PENDING) {
      std::puts("Non-ERROR_IO_PENDING");
      return false;
    }
    const DWORD waited = WaitForSingleObject(write_event, timeout_ms);
    if (waited == WAIT_TIMEOUT) {
      log_progress("Timed out writing to device.\n");
      cancel_write_request(device);
      return false;
    }
    if (waited != WAIT_OBJECT_0) {
      log_progress("Not waiting.\n");
      cancel_write_request(device);
      return false;
    }
  }

  DWORD transferred = 0;
  if (GetOverlappedResult(device, &write_request, &transferred, FALSE) == FALSE) {
    print_system_error();
    // A request still pending here is cancelled too; the error text is out
    // first, since the cancel may change the last error.
    if (!HasOverlappedIoCompleted(&write_request)) cancel_write_request(device);
    return false;
  }
  if (transferred == 0) {
    log_progress("Number of bytes transfered was less than or equal to zero\n");
    return false;
  }
  return true;
}
