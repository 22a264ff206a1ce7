#include "pipe_bootloader.h"

#include <utility>

namespace {

// Large enough that a report is taken at once, whether or not a read is
// waiting; a fault needs the writer to wait for the reader instead.
constexpr DWORD ROOMY_BUFFER = 64 * 1024;
constexpr DWORD NO_BUFFER = 0;

// Room for a report and more, so an oversized message shows as one.
constexpr DWORD READ_BUFFER = 8 * 1024;

// How long a fault waits for the report it hits to be under way.
constexpr DWORD PENDING_REPORT_WAIT_MS = 20000;

std::string error_text(const char *what) {
  return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

} // namespace

PipeBootloader::PipeBootloader(std::string pipe_path, PipeIdentity identity, const ExpectedUpdate &expected,
                               PipeBehaviour behaviour)
    : path_(std::move(pipe_path)), identity_(identity), behaviour_(behaviour), expected_(expected) {
  const DWORD buffer = behaviour_.fault == PipeFault::none ? ROOMY_BUFFER : NO_BUFFER;
  pipe_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, buffer, buffer, 0, nullptr);
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) {
    note_error(error_text("CreateNamedPipeA"));
    SetEvent(done_);
    return;
  }
  server_ = std::thread([this] { serve(); });
}

PipeBootloader::~PipeBootloader() {
  SetEvent(stop_);
  if (server_.joinable()) {
    server_.join();
  }
  if (pipe_ != INVALID_HANDLE_VALUE) {
    CloseHandle(pipe_);
  }
  CloseHandle(stop_);
  CloseHandle(done_);
}

bool PipeBootloader::wait_until_done(DWORD timeout_ms) const {
  return WaitForSingleObject(done_, timeout_ms) == WAIT_OBJECT_0;
}

PipeRecord PipeBootloader::record() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

void PipeBootloader::note_release() {
  const ULONGLONG now = GetTickCount64();
  std::lock_guard<std::mutex> lock(mutex_);
  record_.release_ticks.push_back(now);
}

void PipeBootloader::note_error(const std::string &what) {
  std::lock_guard<std::mutex> lock(mutex_);
  record_.pipe_errors.push_back(what);
}

// Waits for an overlapped request on the pipe, or for the simulator to be
// stopped, which cancels it. True when it completed successfully.
bool PipeBootloader::wait_for(OVERLAPPED &request, DWORD *transferred) {
  const HANDLE events[2] = {request.hEvent, stop_};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIo(pipe_);
  }
  return GetOverlappedResult(pipe_, &request, transferred, TRUE) != 0;
}

void PipeBootloader::serve() {
  OVERLAPPED connect = {};
  connect.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD unused = 0;
  bool connected = ConnectNamedPipe(pipe_, &connect) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
  if (!connected && GetLastError() == ERROR_IO_PENDING) {
    connected = wait_for(connect, &unused);
  }
  CloseHandle(connect.hEvent);
  if (connected) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++record_.connections;
    }
    if (send_identity()) {
      read_reports();
    }
  }
  SetEvent(done_);
}

bool PipeBootloader::send_identity() {
  unsigned char message[PIPE_IDENTITY_SIZE];
  encode_pipe_identity(identity_, message);
  note_release();
  OVERLAPPED request = {};
  request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD sent = 0;
  bool ok = WriteFile(pipe_, message, sizeof message, nullptr, &request) != 0;
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    ok = wait_for(request, &sent);
  } else if (ok) {
    ok = GetOverlappedResult(pipe_, &request, &sent, FALSE) != 0;
  }
  CloseHandle(request.hEvent);
  if (!ok) {
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
      std::lock_guard<std::mutex> lock(mutex_);
      record_.closed_by_client = true;
    } else if (error != ERROR_OPERATION_ABORTED) {
      note_error("identity write failed, error " + std::to_string(error));
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  record_.identity_taken = true;
  return true;
}

// True once the next report is being written: with no pipe buffer the
// writer's message waits in the pipe, where a peek sees it.
bool PipeBootloader::report_pending() {
  const ULONGLONG deadline = GetTickCount64() + PENDING_REPORT_WAIT_MS;
  while (GetTickCount64() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) {
      return false;
    }
    if (available > 0) {
      return true;
    }
    if (WaitForSingleObject(stop_, 2) == WAIT_OBJECT_0) {
      return false;
    }
  }
  return false;
}

// Reads one whole message, however long. ERROR_SUCCESS, or why not.
DWORD PipeBootloader::read_message(std::vector<std::uint8_t> &message) {
  message.clear();
  std::vector<std::uint8_t> chunk(READ_BUFFER);
  for (;;) {
    OVERLAPPED request = {};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD received = 0;
    bool ok = ReadFile(pipe_, chunk.data(), READ_BUFFER, nullptr, &request) != 0;
    if (ok || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
      ok = wait_for(request, &received);
    }
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(request.hEvent);
    if (ok || error == ERROR_MORE_DATA) {
      message.insert(message.end(), chunk.begin(), chunk.begin() + received);
    }
    if (error != ERROR_MORE_DATA) {
      return error;
    }
  }
}

void PipeBootloader::read_reports() {
  std::vector<std::uint8_t> message;
  for (int next = 1;; ++next) {
    if (next == behaviour_.fault_report && behaviour_.fault != PipeFault::none) {
      if (behaviour_.fault == PipeFault::stall) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          record_.fault_injected = true;
        }
        // Never read again: the write waits until the writer gives up.
        WaitForSingleObject(stop_, INFINITE);
        return;
      }
      const bool pending = report_pending();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.fault_injected = pending;
      }
      if (!pending) {
        note_error("report " + std::to_string(next) + " never came");
        return;
      }
      if (behaviour_.fault == PipeFault::broken_connection) {
        // Closing the server end breaks the write under way.
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        return;
      }
      if (WaitForSingleObject(stop_, behaviour_.accept_delay_ms) == WAIT_OBJECT_0) {
        return;
      }
    }

    // Where reports wait for the reader, the release is noted once the
    // updater's write is under way, so that its tick comes after the pause
    // ahead of the write.
    if (behaviour_.fault != PipeFault::none) {
      report_pending();
    }
    note_release();
    const DWORD error = read_message(message);
    if (error != ERROR_SUCCESS) {
      if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.closed_by_client = true;
        record_.memory_matches = checker_.compare(expected_);
        record_.memory_compared = true;
        record_.check_fault = checker_.fault();
      } else if (error != ERROR_OPERATION_ABORTED) {
        note_error("report read failed, error " + std::to_string(error));
      }
      return;
    }
    take_report(message);
  }
}

void PipeBootloader::take_report(const std::vector<std::uint8_t> &message) {
  std::lock_guard<std::mutex> lock(mutex_);
  checker_.receive(message.data(), message.size(), true);
  record_.check_fault = checker_.fault();
  record_.reports.push_back(message);
}
