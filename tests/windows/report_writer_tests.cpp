// The report writer against real overlapped I/O: a named pipe in message
// mode stands in for the HID device, and the test reads what arrives at the
// pipe's other end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

#include "console/console.h"
#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "hid/hid_writer_windows.h"
#include "support/report_bytes.h"
#include "windows_test_support.h"

// Windows may finish cancelling a request only some time after CancelIo has
// returned, and a faulty driver never; Wine's pipes finish at once. So the
// tests take the place of the writer's CancelIo import, and can have the
// cancellation land late or not at all.
static DWORD cancel_delay_ms = 0; // 0: cancel at once, like the real call
constexpr DWORD CANCEL_NEVER = INFINITE;
static std::thread late_cancel;

static BOOL WINAPI cancel_io_for_tests(HANDLE device) {
  if (cancel_delay_ms == CANCEL_NEVER) return TRUE;
  if (cancel_delay_ms == 0) {
    const FARPROC real = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIo");
    return reinterpret_cast<BOOL(WINAPI *)(HANDLE)>(reinterpret_cast<void (*)()>(real))(device);
  }
  late_cancel = std::thread([device, delay = cancel_delay_ms] {
    Sleep(delay);
    CancelIoEx(device, nullptr); // from another thread: CancelIo would not reach the writer's request
  });
  return TRUE;
}

// The import slot the linker would otherwise fill from kernel32.
extern "C" BOOL(WINAPI *cancel_io_import)(HANDLE) __asm__("__imp__CancelIo@4");
BOOL(WINAPI *cancel_io_import)(HANDLE) = cancel_io_for_tests;

// Wine's system texts are English, plain ASCII. A test can have
// FormatMessageA give this one instead, in the ANSI code page (1252) as a
// French Windows would.
static const char *french_system_text = nullptr;

static DWORD WINAPI format_message_for_tests(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer,
                                             DWORD size, va_list *arguments) {
  if (french_system_text != nullptr && std::strlen(french_system_text) < size) {
    std::strcpy(buffer, french_system_text);
    return static_cast<DWORD>(std::strlen(french_system_text));
  }
  typedef DWORD(WINAPI * format_message_function)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *);
  const auto real = reinterpret_cast<format_message_function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "FormatMessageA")));
  return real(flags, source, code, language, buffer, size, arguments);
}

extern "C" DWORD(WINAPI *format_message_import)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD,
                                                va_list *) __asm__("__imp__FormatMessageA@28");
DWORD(WINAPI *format_message_import)
(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *) = format_message_for_tests;

namespace {

// A pipe's buffer large enough for a whole report lets a write complete at
// once; with no buffer a write stays pending until the peer reads.
constexpr DWORD ROOMY = 64 * 1024;
constexpr DWORD NO_BUFFER = 0;

class PipeDevice {
public:
  explicit PipeDevice(DWORD buffer_size) {
    static int serial = 0;
    const std::string name =
        "\\\\.\\pipe\\korvane-writer-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
    peer_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, buffer_size, buffer_size, 0,
                             nullptr);
    // Opened the way the device search opens an HID interface.
    device_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  ~PipeDevice() {
    close_peer();
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  }
  PipeDevice(const PipeDevice &) = delete;
  PipeDevice &operator=(const PipeDevice &) = delete;

  bool ready() const { return peer_ != INVALID_HANDLE_VALUE && device_ != INVALID_HANDLE_VALUE; }
  HANDLE device() const { return device_; }

  void close_peer() {
    if (peer_ != INVALID_HANDLE_VALUE) CloseHandle(peer_);
    peer_ = INVALID_HANDLE_VALUE;
  }

  // The next message to arrive within wait_ms; none if nothing came (the
  // read is then cancelled and over).
  std::optional<std::vector<unsigned char>> read_message(DWORD wait_ms) {
    std::vector<unsigned char> message(4096);
    OVERLAPPED request{};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD received = 0;
    if (!ReadFile(peer_, message.data(), static_cast<DWORD>(message.size()), nullptr, &request) &&
        GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(request.hEvent, wait_ms) != WAIT_OBJECT_0) {
      CancelIo(peer_);
    }
    const bool read = GetOverlappedResult(peer_, &request, &received, TRUE) != 0;
    CloseHandle(request.hEvent);
    if (!read) return std::nullopt;
    message.resize(received);
    return message;
  }

private:
  HANDLE peer_ = INVALID_HANDLE_VALUE;
  HANDLE device_ = INVALID_HANDLE_VALUE;
};

std::uint32_t size_of(const std::vector<unsigned char> &bytes) { return static_cast<std::uint32_t>(bytes.size()); }

class ReportWriter : public testing::Test {
protected:
  void SetUp() override { reset_recorded_pauses(); }
  void TearDown() override {
    reset_recorded_pauses();
    current_device = NO_DEVICE;
  }
};

TEST_F(ReportWriter, SendsOneMessageWithReportIdZeroInFrontOfTheUnchangedPayload) {
  // 1,088 is what the update run sends; 1,089 is the largest accepted.
  for (const std::size_t size : {std::size_t{1088}, std::size_t{1089}}) {
    SCOPED_TRACE(size);
    reset_recorded_pauses();
    PipeDevice pipe(ROOMY);
    ASSERT_TRUE(pipe.ready());
    const auto payload = payload_of(size);

    StdoutCapture output;
    EXPECT_TRUE(hid_write_report(pipe.device(), payload.data(), size_of(payload), 250));
    EXPECT_EQ(output.finish(), "");

    EXPECT_EQ(recorded_pauses, std::vector<milliseconds>{250});
    EXPECT_EQ(pipe.read_message(1000), framed(payload));
    EXPECT_EQ(pipe.read_message(100), std::nullopt) << "more than one message";
  }
}

TEST_F(ReportWriter, CompletesAWriteThatIsPendingUntilThePeerReads) {
  PipeDevice pipe(NO_BUFFER);
  ASSERT_TRUE(pipe.ready());
  const auto payload = payload_of(1088);
  // The peer starts reading well after the write has been issued, within the
  // first block's 3-second time-out.
  std::optional<std::vector<unsigned char>> received;
  std::thread reader;
  after_pause = [&] {
    reader = std::thread([&] {
      Sleep(500);
      received = pipe.read_message(10000);
    });
  };

  current_device = pipe.device();
  StdoutCapture output;
  const bool sent = bootloader_send(payload.data(), size_of(payload), 3.0);
  const std::string printed = output.finish();
  reader.join();

  EXPECT_TRUE(sent);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(received, framed(payload));
}

TEST_F(ReportWriter, RefusesAnOversizedPayloadAfterThePauseWithoutWriting) {
  PipeDevice pipe(ROOMY);
  ASSERT_TRUE(pipe.ready());
  const auto payload = payload_of(1090);

  StdoutCapture output;
  EXPECT_FALSE(hid_write_report(pipe.device(), payload.data(), size_of(payload), 250));
  EXPECT_EQ(output.finish(), "Attempted to load 1090 bytes into buffer sized 1090.\n");

  EXPECT_EQ(recorded_pauses, std::vector<milliseconds>{250});
  EXPECT_EQ(pipe.read_message(100), std::nullopt);
}

TEST_F(ReportWriter, TimesOutOnAPeerThatNeverReadsAndLeavesNoRequestPending) {
  for (const DWORD delay : {DWORD{0}, DWORD{300}}) {
    SCOPED_TRACE(delay == 0 ? "cancellation at once" : "cancellation landing late");
    reset_recorded_pauses();
    PipeDevice pipe(NO_BUFFER);
    ASSERT_TRUE(pipe.ready());
    const auto payload = payload_of(1088);

    cancel_delay_ms = delay;
    current_device = pipe.device();
    StdoutCapture output;
    const auto start = std::chrono::steady_clock::now();
    const bool sent = bootloader_send(payload.data(), size_of(payload), 0.25);
    const auto took = std::chrono::steady_clock::now() - start;
    // The request ended before the call returned: its event is signalled. Had
    // the call returned early, the next write would find it still pending.
    const DWORD request_state = WaitForSingleObject(write_event, 0);
    cancel_delay_ms = 0;
    if (late_cancel.joinable()) late_cancel.join();

    EXPECT_FALSE(sent);
    EXPECT_EQ(output.finish(), "Timed out writing to device.\n");
    EXPECT_EQ(recorded_pauses, std::vector<milliseconds>{250});
    // 250 ms pause, then a 250 ms wait: a wait that ended at once, or never
    // ended, is a fault.
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(request_state, WAIT_OBJECT_0);
    EXPECT_EQ(pipe.read_message(300), std::nullopt) << "the cancelled report still reached the peer";
  }
}

// A request that outlives its cancel: the call still fails within the bound
// (250 ms pause, 250 ms wait, CANCEL_WAIT_MS for the cancel), and the next
// call refuses to write while the system may still use the buffer.
TEST_F(ReportWriter, FailsWithinTheBoundWhenACancelledRequestNeverEnds) {
  PipeDevice pipe(NO_BUFFER);
  ASSERT_TRUE(pipe.ready());
  const auto payload = payload_of(1088);
  cancel_delay_ms = CANCEL_NEVER;
  current_device = pipe.device();

  StdoutCapture output;
  const auto start = std::chrono::steady_clock::now();
  const bool sent = bootloader_send(payload.data(), size_of(payload), 0.25);
  const auto took = std::chrono::steady_clock::now() - start;
  const bool still_pending = !HasOverlappedIoCompleted(&write_request);
  const bool sent_again = bootloader_send(payload.data(), size_of(payload), 0.25);
  const std::string printed = output.finish();
  CancelIoEx(pipe.device(), nullptr);
  cancel_delay_ms = 0;
  const DWORD ended = WaitForSingleObject(write_event, 5000);

  EXPECT_FALSE(sent);
  EXPECT_TRUE(still_pending);
  EXPECT_GE(took, std::chrono::milliseconds(450 + CANCEL_WAIT_MS));
  EXPECT_LT(took, std::chrono::milliseconds(500 + CANCEL_WAIT_MS + 2000));
  EXPECT_FALSE(sent_again);
  EXPECT_EQ(printed, "Timed out writing to device.\nNon-ERROR_IO_PENDING\n");
  EXPECT_EQ(recorded_pauses, (std::vector<milliseconds>{250, 250}));
  EXPECT_EQ(ended, WAIT_OBJECT_0);
  EXPECT_EQ(pipe.read_message(300), std::nullopt) << "a report reached the peer";
}

TEST_F(ReportWriter, NamesTheSystemErrorWhenThePeerGoesAwayMidWrite) {
  PipeDevice pipe(NO_BUFFER);
  ASSERT_TRUE(pipe.ready());
  const auto payload = payload_of(1088);
  std::thread closer;
  after_pause = [&] {
    closer = std::thread([&] {
      Sleep(300);
      pipe.close_peer();
    });
  };

  StdoutCapture output;
  const bool sent = hid_write_report(pipe.device(), payload.data(), size_of(payload), 5000);
  const std::string printed = output.finish();
  closer.join();

  EXPECT_FALSE(sent);
  EXPECT_EQ(printed.rfind("err 109: ", 0), 0u) << printed;
  EXPECT_EQ(printed.back(), '\n');
}

// The system's text comes in the ANSI code page; a console shows the bytes
// a program writes in its own output code page (437 here, the OEM one on
// Windows), and Wine's console host takes them as Latin-1 besides. On the
// console the text must show as Windows wrote it, read back from the
// console's screen: its apostrophe (0x92, U+2019) differs in all three.
// Redirected, it goes out as the system gave it. Run in a console of
// Wine's console host (KORVANE_WINE_CONSOLE=1, set by ctest).
TEST(SystemErrorText, ShowsOnTheConsoleAsWindowsWroteItAndGoesToAFileUnchanged) {
  const HANDLE screen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO before = {};
  ASSERT_TRUE(screen != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(screen, &before))
      << "no console: run with KORVANE_WINE_CONSOLE=1 (tools/wine-run.sh)";
  ASSERT_EQ(GetACP(), 1252u);
  french_system_text = "Le p\xE9riph\xE9rique n\x92"
                       "est pas pr\xEAt.\r\n";

  std::fflush(stdout);
  GetConsoleScreenBufferInfo(screen, &before);
  SetLastError(ERROR_NOT_READY);
  print_system_error();
  std::fflush(stdout);
  const std::wstring expected = L"err 21: Le p\u00E9riph\u00E9rique n\u2019est pas pr\u00EAt.";
  wchar_t shown[80] = {};
  DWORD read = 0;
  ASSERT_TRUE(
      ReadConsoleOutputCharacterW(screen, shown, static_cast<DWORD>(expected.size()), before.dwCursorPosition, &read));
  EXPECT_EQ(std::wstring(shown, read), expected);

  StdoutCapture output;
  SetLastError(ERROR_NOT_READY);
  print_system_error();
  // The bytes as given; how the C runtime writes the line breaks is its own.
  const std::string as_given = "err 21: Le p\xE9riph\xE9rique n\x92"
                               "est pas pr\xEAt.";
  EXPECT_EQ(output.finish().substr(0, as_given.size()), as_given);
  french_system_text = nullptr;
  CloseHandle(screen);
}

TEST_F(ReportWriter, ReportsAWriteTheSystemRefusesAtOnce) {
  const auto payload = payload_of(1088);
  {
    SCOPED_TRACE("peer gone before the write");
    PipeDevice pipe(ROOMY);
    ASSERT_TRUE(pipe.ready());
    pipe.close_peer();
    StdoutCapture output;
    EXPECT_FALSE(hid_write_report(pipe.device(), payload.data(), size_of(payload), 250));
    EXPECT_EQ(output.finish(), "Non-ERROR_IO_PENDING\n");
  }
  {
    // A real HID stack: Wine's virtual device takes no report of this size.
    SCOPED_TRACE("Wine's virtual HID device");
    const device_handle hid = hid_find_device(0x845E, 0x0001, 0); // it has no output report
    ASSERT_NE(hid, NO_DEVICE);
    StdoutCapture output;
    EXPECT_FALSE(hid_write_report(hid, payload.data(), size_of(payload), 250));
    EXPECT_EQ(output.finish(), "Non-ERROR_IO_PENDING\n");
    hid_close_device(hid);
  }
}

TEST_F(ReportWriter, CreatesOneEventForAllWrites) {
  PipeDevice pipe(ROOMY);
  ASSERT_TRUE(pipe.ready());
  const auto payload = payload_of(1088);
  ASSERT_TRUE(hid_write_report(pipe.device(), payload.data(), size_of(payload), 250));
  const HANDLE event = write_event;
  const DWORD handles = process_handle_count();

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(hid_write_report(pipe.device(), payload.data(), size_of(payload), 250));
    ASSERT_TRUE(pipe.read_message(1000).has_value());
  }

  EXPECT_NE(event, nullptr);
  EXPECT_EQ(write_event, event);
  EXPECT_EQ(process_handle_count(), handles);
}

TEST_F(ReportWriter, SendWithoutADeviceFailsAtOnceSilently) {
  const auto payload = payload_of(1088);
  current_device = NO_DEVICE;
  StdoutCapture output;
  EXPECT_FALSE(bootloader_send(payload.data(), size_of(payload), 3.0));
  EXPECT_EQ(output.finish(), "");
  EXPECT_TRUE(recorded_pauses.empty());
}

} // namespace
