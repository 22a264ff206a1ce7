#include "windows_test_support.h"

#include <gtest/gtest.h>

#include <winternl.h>

#include "console/console.h"

std::vector<milliseconds> recorded_pauses;
std::function<void()> after_pause;

// Takes the place of the updater's platform sleep in the test program.
void sleep_milliseconds(milliseconds ms) {
  recorded_pauses.push_back(ms);
  Sleep(ms);
  if (after_pause) {
    after_pause();
  }
}

void reset_recorded_pauses() {
  recorded_pauses.clear();
  after_pause = nullptr;
}

StdoutCapture::StdoutCapture() { testing::internal::CaptureStdout(); }

StdoutCapture::~StdoutCapture() {
  if (active_) {
    finish();
  }
}

std::string StdoutCapture::finish() {
  active_ = false;
  return with_plain_line_breaks(testing::internal::GetCapturedStdout());
}

std::string with_plain_line_breaks(std::string text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      plain += text[i];
    }
  }
  return plain;
}

DWORD process_handle_count() {
  // Wine answers GetProcessHandleCount with 0; the system-wide handle list is
  // real there and on Windows alike.
  std::vector<unsigned char> list(64 * 1024);
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(SystemHandleInformation, list.data(), static_cast<ULONG>(list.size()),
                                            nullptr)) == static_cast<NTSTATUS>(0xC0000004L)) {
    list.resize(list.size() * 2);
  }
  EXPECT_EQ(status, 0);
  const auto *handles = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION *>(list.data());
  DWORD count = 0;
  for (ULONG i = 0; i < handles->Count; ++i) {
    if (handles->Handle[i].OwnerPid == GetCurrentProcessId()) ++count;
  }
  return count;
}
