// The Windows updater, unmodified, runs whole updates under Wine against
// simulated bootloaders: its own device search, CreateFileA, overlapped
// writes and time-outs meet real Windows API calls on named pipes.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "intel_hex.h"
#include "pipe_bootloader.h"
#include "planted_dlls.h"
#include "test_files.h"
#include "updater_process.h"

namespace {

constexpr PipeIdentity BOOTLOADER = {0x16C0, 0x0478, 0x0100};
constexpr PipeIdentity OTHER_PRODUCT = {0x16C0, 0x0479, 0x0100};
// The bootloader's IDs on boards whose output report is 64 or 256 bytes.
constexpr PipeIdentity SHORT_REPORT = {0x16C0, 0x0478, 0x0100, 65};
constexpr PipeIdentity LONG_REPORT = {0x16C0, 0x0478, 0x0100, 257};

// The placeholder image the Windows build embeds sends this many blocks.
constexpr std::size_t SHIPPED_BLOCKS = 233;

// Every line break as the Windows C runtime writes it in text mode.
const std::string START =
    "Korvane_Updater with firmware version 9.32\r\n\r\nKorvane device detected\r\nWriting firmware";
const std::string SUCCESS = "\r\nKorvane firmware version 9.32 updated succesfully\r\n\r\n"
                            "Please close this window and disconnect USB Micro cable to restart the Korvane\r\n";
const std::string WRITE_FAILURE = "error writing to Korvane\r\n\r\n";
const std::string NO_DEVICE =
    "No Korvane device found!\r\nPlease connect Korvane using USB Micro cable\r\n\r\nOnly in case of erased "
    "firmware, please insert a pin into the backup\r\nfirmware update switch on the bottom side of the Brenlow "
    "device\r\n\r\nPlease close this window and try again\r\n\r\n";

// A full update takes 233 pauses of 250 ms; a slow machine gets ample room.
constexpr DWORD FULL_UPDATE_WAIT_MS = 240000;
constexpr DWORD FAILURE_WAIT_MS = 60000;

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string pipe_path(const char *kind) { return "\\\\.\\pipe\\" + unique_name(kind); }

// What a correct update with the image the updater embeds leaves in the
// device's memory; read once, from the copy beside the test program.
const ExpectedUpdate &embedded_update() {
  static const ExpectedUpdate expected = [] {
    ExpectedUpdate from_file;
    std::string error;
    if (!expected_update_from_hex(program_folder() + "embedded-firmware.hex", from_file, error)) ADD_FAILURE() << error;
    return from_file;
  }();
  return expected;
}

// The device memory was rebuilt from the reports and matches the image.
void expect_programmed(const PipeRecord &record) {
  EXPECT_EQ(record.check_fault, "");
  EXPECT_TRUE(record.memory_compared);
  EXPECT_TRUE(record.memory_matches);
}

// The tick counter's resolution on Windows; Wine's counts milliseconds.
constexpr long long TICK_MS = 16;

// Milliseconds from the simulator's tick to the arrival of out.text[at]. The
// output is read the moment it arrives, and the simulator's tick comes before
// what it lets the updater do, so a late look can only lengthen the time.
long long milliseconds_after(ULONGLONG tick, const StreamCapture &out, std::size_t at) {
  if (at >= out.ticks.size()) {
    return -1;
  }
  return static_cast<long long>(out.ticks[at] - tick);
}

class WindowsUpdate : public testing::Test {
protected:
  void SetUp() override {
    const std::vector<std::string> native_first = native_first_overrides();
    for (const char *stand_in : {"setupapi", "hid"}) {
      ASSERT_NE(std::find(native_first.begin(), native_first.end(), stand_in), native_first.end())
          << "run under Wine with WINEDLLOVERRIDES=setupapi,hid=n,b, or the updater uses Wine's own libraries";
    }
    DeleteFileA(call_log.c_str());
  }

  void TearDown() override {
    if (updater) {
      updater->kill();
    }
    if (!HasFailure()) {
      DeleteFileA(call_log.c_str());
    }
  }

  // An interface whose device path nothing serves, so it cannot be opened.
  void add_absent_interface() { paths.push_back(pipe_path("absent")); }

  PipeBootloader &add_interface(const char *kind, PipeIdentity identity, PipeBehaviour behaviour = {}) {
    interfaces.push_back(std::make_unique<PipeBootloader>(pipe_path(kind), identity, embedded_update(), behaviour));
    EXPECT_TRUE(interfaces.back()->created()) << interfaces.back()->record().pipe_errors.front();
    paths.push_back(interfaces.back()->path());
    return *interfaces.back();
  }

  // Starts the updater copy in folder (the test program's by default), with
  // that folder as its current folder and input as its standard input (NUL
  // when none); exe names another build of the updater there.
  void start_updater(const std::string &folder = program_folder(), HANDLE input = nullptr,
                     const char *exe = "korvane_updater.exe") {
    std::string listed;
    for (const std::string &path : paths) {
      listed += path + ";";
    }
    updater = std::make_unique<UpdaterProcess>(UpdaterStart{
        folder + exe, folder, {"KORVANE_SIM_INTERFACES=" + listed, "KORVANE_SIM_CALL_LOG=" + call_log}, input});
    ASSERT_TRUE(updater->started());
  }

  // Waits for the updater to tell of a successful update, and for the
  // written bootloader to see its handle closed; checks the whole output.
  void wait_for_success(const PipeBootloader &written) {
    ASSERT_TRUE(updater->wait_for_output(
        [](const std::string &out, const std::string &err) { return ends_with(out, SUCCESS) || !err.empty(); },
        FULL_UPDATE_WAIT_MS))
        << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text;
    ASSERT_TRUE(written.wait_until_done(10000))
        << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text << "\ncalls:\n"
        << file_contents(call_log);
    EXPECT_EQ(updater->out().text, START + std::string(SHIPPED_BLOCKS, '.') + SUCCESS);
    EXPECT_EQ(updater->err().text, "");
  }

  // Waits for the failure message that ends a failed update.
  void wait_for_failure() {
    ASSERT_TRUE(updater->wait_for_output(
        [](const std::string &, const std::string &err) { return ends_with(err, WRITE_FAILURE); }, FAILURE_WAIT_MS))
        << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text;
  }

  void wait_for_no_device() {
    ASSERT_TRUE(updater->wait_for_output(
        [](const std::string &, const std::string &err) { return err.size() >= NO_DEVICE.size(); }, FAILURE_WAIT_MS))
        << "stdout: " << updater->out().text << "\nstderr: " << updater->err().text;
  }

  // The updater holds its console window open after the run; it is still
  // there a moment later.
  void expect_holding() {
    Sleep(1000);
    EXPECT_TRUE(updater->running());
  }

  int logged_calls(const std::string &start) { return count_lines_starting(lines_of_file(call_log), start); }

  std::string call_log = temporary_path("calls.log");
  std::vector<std::unique_ptr<PipeBootloader>> interfaces;
  std::vector<std::string> paths;
  std::unique_ptr<UpdaterProcess> updater;
};

// Run with Wine asked to look for the names commonly planted against Windows
// programs native first, as Windows looks for them (WINEDLLOVERRIDES, set by
// ctest). The second update runs with a marker DLL under each name the exe
// loaded in the first and each of those beside a copy of the exe and in its
// current folder; none may be loaded.
TEST_F(WindowsUpdate, WritesEveryBlockOfTheImageHoldsTheWindowOpenAndLoadsNoDllFromItsFolder) {
  const std::string planted = program_folder() + "planted-beside-the-exe\\";
  std::vector<std::string> names;
  for (const std::string &folder : {program_folder(), planted}) {
    SCOPED_TRACE(folder);
    if (folder == planted) {
      const PlantingPlan plan = plan_planting(updater->loaded_modules());
      names = plan.names;
      for (const std::string &left_out : plan.left_out)
        std::printf("left out %s\n", left_out.c_str());
      EXPECT_EQ(plan.not_native_first, std::vector<std::string>{}) << "add them to the planted names (CMakeLists.txt)";
      CreateDirectoryA(folder.c_str(), nullptr);
      for (const char *file : {"korvane_updater.exe", "setupapi.dll"})
        ASSERT_TRUE(CopyFileA((program_folder() + file).c_str(), (folder + file).c_str(), FALSE)) << file;
      ASSERT_TRUE(plant_marker(program_folder() + KORVANE_MARKER_DLL_RELATIVE_PATH, folder, names));
      updater->kill();
      paths.clear();
    }
    PipeBootloader &bootloader = add_interface("bootloader", BOOTLOADER);
    ASSERT_NO_FATAL_FAILURE(start_updater(folder));

    ASSERT_NO_FATAL_FAILURE(wait_for_success(bootloader));
    const PipeRecord record = bootloader.record();
    EXPECT_EQ(record.connections, 1);
    EXPECT_TRUE(record.closed_by_client) << "the device is released before the closing messages";
    EXPECT_EQ(record.reports.size(), SHIPPED_BLOCKS);
    expect_programmed(record);
    EXPECT_TRUE(record.pipe_errors.empty()) << record.pipe_errors.front();
    expect_holding();
    // Only the exe and the SETUPAPI stand-in, its static import, which Wine
    // takes from the exe's folder under the override, come from elsewhere.
    EXPECT_EQ(loaded_outside_the_system_folder(updater->loaded_modules()),
              (std::vector<std::string>{"korvane_updater.exe", "setupapi"}));
  }
  EXPECT_EQ(planted_copies_loaded(planted, names), std::vector<std::string>{});
}

TEST_F(WindowsUpdate, WritesTheFirstBootloaderOnlyAfterPassingOverInterfacesOfOtherDevices) {
  add_absent_interface();
  PipeBootloader &other_product = add_interface("other-product", OTHER_PRODUCT);
  PipeBootloader &short_report = add_interface("short-report", SHORT_REPORT);
  PipeBootloader &long_report = add_interface("long-report", LONG_REPORT);
  // The first report may take up to three seconds to be taken.
  PipeBootloader &first = add_interface("first", BOOTLOADER, {PipeFault::slow_accept, 1, 1500});
  PipeBootloader &second = add_interface("second", BOOTLOADER);
  ASSERT_NO_FATAL_FAILURE(start_updater());

  ASSERT_NO_FATAL_FAILURE(wait_for_success(first));

  for (const PipeBootloader *passed_over : {&other_product, &short_report, &long_report}) {
    const PipeRecord tested = passed_over->record();
    SCOPED_TRACE(passed_over->path());
    EXPECT_EQ(tested.connections, 1);
    EXPECT_TRUE(tested.identity_taken);
    EXPECT_TRUE(tested.closed_by_client);
    EXPECT_TRUE(tested.reports.empty());
  }

  const PipeRecord written = first.record();
  EXPECT_TRUE(written.fault_injected);
  EXPECT_EQ(written.reports.size(), SHIPPED_BLOCKS);
  expect_programmed(written);
  EXPECT_TRUE(written.closed_by_client);

  EXPECT_EQ(second.record().connections, 0);

  // One search: the set is built with the present HID interfaces, walked up
  // to the match, and destroyed; attributes are read for the four interfaces
  // that could be opened, the output report's length for the three with the
  // bootloader's IDs, each time freeing what the HID library handed out.
  EXPECT_EQ(logged_calls("SetupDiGetClassDevsA hid_class=1 enumerator=none flags=0x12"), 1);
  EXPECT_EQ(logged_calls("SetupDiEnumDeviceInterfaces index=4 cbSize=28"), 1);
  EXPECT_EQ(logged_calls("SetupDiEnumDeviceInterfaces index=5"), 0);
  EXPECT_EQ(logged_calls("HidD_GetAttributes VendorID="), 4);
  EXPECT_EQ(logged_calls("HidD_GetPreparsedData OutputReportByteLength="), 3);
  EXPECT_EQ(logged_calls("HidP_GetCaps live=1"), 3);
  EXPECT_EQ(logged_calls("HidD_FreePreparsedData live=1"), 3);
  EXPECT_EQ(logged_calls("SetupDiDestroyDeviceInfoList"), 1);
  expect_holding();
}

// Boards with the bootloader's IDs and another output report, and nothing
// else: none is written to, and the run ends as without any device.
TEST_F(WindowsUpdate, WritesNothingToBoardsWithAnotherOutputReportAndFindsNoDevice) {
  PipeBootloader &short_report = add_interface("short-report", SHORT_REPORT);
  PipeBootloader &long_report = add_interface("long-report", LONG_REPORT);
  ASSERT_NO_FATAL_FAILURE(start_updater());
  ASSERT_NO_FATAL_FAILURE(wait_for_no_device());
  expect_holding();
  EXPECT_EQ(updater->out().text, "Korvane_Updater with firmware version 9.32\r\n\r\n");
  EXPECT_EQ(updater->err().text, NO_DEVICE);
  for (const PipeBootloader *board : {&short_report, &long_report}) {
    const PipeRecord record = board->record();
    EXPECT_TRUE(record.identity_taken);
    EXPECT_TRUE(record.closed_by_client);
    EXPECT_TRUE(record.reports.empty());
  }
}

// A console whose QuickEdit is on, as Windows 10 starts one: the updater,
// its standard input that console, turns QuickEdit off for the run, every
// other bit of the mode kept, and puts the mode back when it ends, after the
// hold, through either exit status; with another standard input it leaves
// the console alone. The runs that must end use the build whose pauses take
// a thousandth of their time. The test program runs in a console of Wine's
// console host (KORVANE_WINE_CONSOLE=1, set by ctest), which the updater
// shares.
TEST_F(WindowsUpdate, TurnsQuickEditOffForTheRunAndPutsTheConsoleModeBackWhenItEnds) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  const HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);
  DWORD initial = 0;
  ASSERT_TRUE(console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &initial))
      << "no console: run with KORVANE_WINE_CONSOLE=1 (tools/wine-run.sh)";
  const auto mode = [console] {
    DWORD now = 0;
    return GetConsoleMode(console, &now) ? now : 0xFFFFFFFF;
  };
  const DWORD before = initial | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE;
  const DWORD quick_edit_off = before & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);

  // During the hold of a run without a device.
  ASSERT_TRUE(SetConsoleMode(console, before));
  ASSERT_NO_FATAL_FAILURE(start_updater(program_folder(), console));
  ASSERT_NO_FATAL_FAILURE(wait_for_no_device());
  const DWORD during = mode();
  EXPECT_EQ(during, quick_edit_off);
  updater->kill();

  // Standard input not the console: the console is left as it is.
  ASSERT_TRUE(SetConsoleMode(console, before));
  ASSERT_NO_FATAL_FAILURE(start_updater());
  ASSERT_NO_FATAL_FAILURE(wait_for_no_device());
  EXPECT_EQ(mode(), before);
  updater->kill();

  // After the hold: a failed run (exit in fail_and_hold), then a whole update
  // (main returns).
  ASSERT_NO_FATAL_FAILURE(start_updater(program_folder(), console, "korvane_updater_quick_sleep.exe"));
  EXPECT_EQ(updater->wait_for_exit(FAILURE_WAIT_MS), 1);
  EXPECT_EQ(updater->err().text, NO_DEVICE);
  const DWORD after_failure = mode();
  EXPECT_EQ(after_failure, before);

  PipeBootloader &bootloader = add_interface("bootloader", BOOTLOADER);
  ASSERT_NO_FATAL_FAILURE(start_updater(program_folder(), console, "korvane_updater_quick_sleep.exe"));
  EXPECT_EQ(updater->wait_for_exit(FULL_UPDATE_WAIT_MS), 0);
  EXPECT_EQ(updater->out().text, START + std::string(SHIPPED_BLOCKS, '.') + SUCCESS);
  expect_programmed(bootloader.record());
  const DWORD after_success = mode();
  EXPECT_EQ(after_success, before);
  std::printf("console mode before 0x%lx, during 0x%lx, after a failed run 0x%lx, after an update 0x%lx\n", before,
              during, after_failure, after_success);
  CloseHandle(console);
}

TEST_F(WindowsUpdate, GivesUpWhenTheFirstReportIsNotTakenWithinThreeSeconds) {
  PipeBootloader &bootloader = add_interface("stalling", BOOTLOADER, {PipeFault::stall, 1});
  ASSERT_NO_FATAL_FAILURE(start_updater());
  ASSERT_NO_FATAL_FAILURE(wait_for_failure());

  const StreamCapture out = updater->out();
  EXPECT_EQ(out.text, START + "." + "Timed out writing to device.\r\n");
  EXPECT_EQ(updater->err().text, WRITE_FAILURE);
  // From the identity the search reads to the time-out message: the pause
  // ahead of the write, then the first report's time-out, and little else.
  const PipeRecord record = bootloader.record();
  ASSERT_FALSE(record.release_ticks.empty());
  const long long waited = milliseconds_after(record.release_ticks[0], out, START.size() + 1);
  EXPECT_GE(waited, 3250 - TICK_MS);
  EXPECT_LT(waited, 3250 + 1500);
  EXPECT_TRUE(record.fault_injected);
  EXPECT_TRUE(record.reports.empty());
  expect_holding();
}

TEST_F(WindowsUpdate, GivesUpWhenALaterReportIsNotTakenWithinAQuarterSecond) {
  PipeBootloader &bootloader = add_interface("slow", BOOTLOADER, {PipeFault::slow_accept, 2, 1500});
  ASSERT_NO_FATAL_FAILURE(start_updater());
  ASSERT_NO_FATAL_FAILURE(wait_for_failure());

  const StreamCapture out = updater->out();
  EXPECT_EQ(out.text, START + ".." + "Timed out writing to device.\r\n");
  EXPECT_EQ(updater->err().text, WRITE_FAILURE);
  // From the first report's taking to the time-out message: the pause ahead
  // of the second report, then its time-out; the next step up, the first
  // report's 3 s, would show.
  const PipeRecord record = bootloader.record();
  ASSERT_GE(record.release_ticks.size(), 2u);
  const long long waited = milliseconds_after(record.release_ticks[1], out, START.size() + 2);
  EXPECT_GE(waited, 500 - TICK_MS);
  EXPECT_LT(waited, 500 + 1000);
  EXPECT_EQ(record.reports.size(), 1u);
  expect_holding();
}

TEST_F(WindowsUpdate, NamesTheSystemErrorWhenTheConnectionBreaksDuringAWrite) {
  PipeBootloader &bootloader = add_interface("breaking", BOOTLOADER, {PipeFault::broken_connection, 10});
  ASSERT_NO_FATAL_FAILURE(start_updater());
  ASSERT_NO_FATAL_FAILURE(wait_for_failure());

  const std::string out = updater->out().text;
  const std::string written = START + std::string(10, '.') + "err 109: ";
  ASSERT_EQ(out.substr(0, written.size()), written) << out;
  // The system's one-line text for the error, as it gives it, then the
  // line break; nothing after it, as no further block is tried.
  const std::string system_text = out.substr(written.size());
  const std::string text_line = system_text.substr(0, system_text.find_last_not_of("\r\n") + 1);
  EXPECT_FALSE(text_line.empty());
  EXPECT_EQ(text_line.find_first_of("\r\n"), std::string::npos) << system_text;
  EXPECT_TRUE(ends_with(system_text, "\r\n"));
  EXPECT_EQ(updater->err().text, WRITE_FAILURE);
  const PipeRecord record = bootloader.record();
  EXPECT_TRUE(record.fault_injected);
  EXPECT_EQ(record.reports.size(), 9u);
  EXPECT_EQ(record.check_fault, "");
  expect_holding();
}

} // namespace
