// The Windows updater, unmodified, runs whole updates under Wine against
// simulated bootloaders: its own device search, CreateFileA, overlapped
// writes and time-outs meet real Windows API calls on named pipes.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "pipe_bootloader.h"
#include "updater_process.h"

namespace {

constexpr PipeIdentity BOOTLOADER = {0x16C0, 0x0478, 0x0100};
constexpr PipeIdentity OTHER_PRODUCT = {0x16C0, 0x0479, 0x0100};

// The placeholder image the Windows build embeds sends this many blocks.
constexpr std::size_t SHIPPED_BLOCKS = 233;

// Every line break as the Windows C runtime writes it in text mode.
const std::string START =
    "Korvane_Updater with firmware version 9.32\r\n\r\nKorvane device detected\r\nWriting firmware";
const std::string SUCCESS = "\r\nKorvane firmware version 9.32 updated succesfully\r\n\r\n"
                            "Please close this window and disconnect USB Micro cable to restart the Korvane\r\n";
const std::string WRITE_FAILURE = "error writing to Korvane\r\n\r\n";

// A full update takes 233 pauses of 250 ms; a slow machine gets ample room.
constexpr DWORD FULL_UPDATE_WAIT_MS = 240000;
constexpr DWORD FAILURE_WAIT_MS = 60000;

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string unique_name(const char *kind) {
  static int count = 0;
  return "korvane-sim-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) + "-" + kind;
}

std::string pipe_path(const char *kind) { return "\\\\.\\pipe\\" + unique_name(kind); }

std::string temporary_file(const char *kind) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  return std::string(folder) + unique_name(kind) + ".log";
}

std::vector<std::string> lines_of_file(const std::string &path) {
  std::vector<std::string> lines;
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return lines;
  }
  std::string text;
  char chunk[4096];
  DWORD received = 0;
  while (ReadFile(file, chunk, sizeof chunk, &received, nullptr) && received > 0) {
    text.append(chunk, received);
  }
  CloseHandle(file);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

int count_lines_starting(const std::vector<std::string> &lines, const std::string &start) {
  int count = 0;
  for (const std::string &line : lines) {
    count += line.rfind(start, 0) == 0 ? 1 : 0;
  }
  return count;
}

class WindowsUpdate : public testing::Test {
protected:
  void TearDown() override {
    if (updater) {
      updater->kill();
    }
    if (!HasFailure()) {
      DeleteFileA(call_log.c_str());
    }
  }

  PipeBootloader &add_interface(const char *kind, PipeIdentity identity, PipeBehaviour behaviour = {}) {
    interfaces.push_back(std::make_unique<PipeBootloader>(pipe_path(kind), identity, behaviour));
    EXPECT_TRUE(interfaces.back()->created()) << interfaces.back()->record().pipe_errors.front();
    paths.push_back(interfaces.back()->path());
    return *interfaces.back();
  }

  void start_updater() {
    updater = std::make_unique<UpdaterProcess>(paths, call_log);
    ASSERT_TRUE(updater->started());
  }

  // Waits for the failure message that ends a failed update.
  void wait_for_failure() {
    ASSERT_TRUE(updater->wait_for_output(
        [](const std::string &, const std::string &err) { return ends_with(err, WRITE_FAILURE); }, FAILURE_WAIT_MS))
        << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text;
  }

  // The updater holds its console window open after the run; it is still
  // there a moment later.
  void expect_holding() {
    Sleep(1000);
    EXPECT_TRUE(updater->running());
  }

  std::string call_log = temporary_file("calls");
  std::vector<std::unique_ptr<PipeBootloader>> interfaces;
  std::vector<std::string> paths;
  std::unique_ptr<UpdaterProcess> updater;
};

TEST_F(WindowsUpdate, WritesEveryBlockOfTheImageAndHoldsTheWindowOpen) {
  PipeBootloader &bootloader = add_interface("bootloader", BOOTLOADER);
  start_updater();

  ASSERT_TRUE(updater->wait_for_output(
      [](const std::string &out, const std::string &err) { return ends_with(out, SUCCESS) || !err.empty(); },
      FULL_UPDATE_WAIT_MS))
      << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text;
  ASSERT_TRUE(bootloader.wait_until_done(10000));

  EXPECT_EQ(updater->out().text, START + std::string(SHIPPED_BLOCKS, '.') + SUCCESS);
  EXPECT_EQ(updater->err().text, "");
  const PipeRecord record = bootloader.record();
  EXPECT_EQ(record.connections, 1);
  EXPECT_TRUE(record.closed_by_client) << "the device is released before the closing messages";
  EXPECT_EQ(record.reports.size(), SHIPPED_BLOCKS);
  EXPECT_TRUE(record.pipe_errors.empty()) << record.pipe_errors.front();
  expect_holding();
}

} // namespace
