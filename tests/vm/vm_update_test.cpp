// Whole updates through real HID stacks, run inside the virtual machine of
// tools/vm/run-vm.sh: the bootloader is a USB gadget of the guest's kernel
// (korvane_gadget), reached through usbhid and hidraw by the Linux updater,
// and through Wine's hidclass and winebus over the same hidraw node by the
// Windows exe. The updaters are the ones built, unmodified; the device checks
// every report and the memory as the simulated bootloader does.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "report_check.h"
#include "support/child_process.h"
#include "support/transcripts.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string GADGET = KORVANE_GADGET;

// The block addresses in order that the image in the HEX file the build
// embedded sends.
std::vector<std::string> expected_trace_of_hex(const std::string &hex) {
  ExpectedUpdate expected;
  std::string error;
  if (!expected_update_from_hex(hex, expected, error)) ADD_FAILURE() << error;
  return ::expected_trace(expected);
}

// The first word of each line of a gadget trace: the block addresses.
std::vector<std::string> traced_blocks(const std::string &path) {
  std::vector<std::string> blocks;
  for (const std::string &line : lines_of(read_file(path)))
    blocks.push_back(line.substr(0, line.find(' ')));
  return blocks;
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What a stream has delivered so far, and when each byte was first seen.
struct Capture {
  std::string text;
  std::vector<Clock::time_point> seen;
  double ms_between(std::size_t from, std::size_t to) const {
    if (to >= seen.size() || from > to) return -1;
    return std::chrono::duration<double, std::milli>(seen[to] - seen[from]).count();
  }
};

// How often a background command's output files are looked at.
constexpr int POLL_MS = 5;

// A command running in the background with its output sent to files, which
// are looked at every few milliseconds: precise enough for time-outs of a
// quarter second and more.
class Background {
public:
  explicit Background(const std::vector<std::string> &argv)
      : pid_(spawn_command(argv, out_file_.path, err_file_.path)) {}
  ~Background() {
    if (running()) {
      kill(pid_, SIGKILL);
      wait_for_exit(10);
    }
  }

  bool running() const { return pid_ > 0 && exit_status_ == -2; }

  // Collects output until done says so or seconds pass; false on the latter.
  bool wait_until(const std::function<bool()> &done, double seconds) {
    const auto give_up = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      collect();
      if (done()) return true;
      if (Clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
  }

  // Waits for the command to end; its exit status, 128 + signal, or -2 while
  // it still runs.
  int wait_for_exit(double seconds) {
    wait_until([this] { return reap(); }, seconds);
    collect();
    return exit_status_;
  }

  void signal(int number) const { kill(pid_, number); }

  Capture out, err;

private:
  bool reap() {
    int status = 0;
    if (!running() || waitpid(pid_, &status, WNOHANG) != pid_) return !running();
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  void collect() {
    for (auto [file, capture] : {std::pair{&out_file_, &out}, std::pair{&err_file_, &err}}) {
      const std::string text = read_file(file->path);
      if (text.size() > capture->text.size()) {
        capture->seen.resize(text.size(), Clock::now());
        capture->text = text;
      }
    }
  }

  TempFile out_file_, err_file_;
  pid_t pid_ = -1;
  int exit_status_ = -2;
};

// These tests need the guest's emulated USB device controller; anywhere else
// they fail, rather than touch the machine's own devices.
void expect_inside_the_vm() {
  if (access("/sys/class/udc/dummy_udc.0", F_OK) != 0) {
    GTEST_FAIL() << "no emulated USB device controller here: run this through tools/vm/run-vm.sh";
  }
}

std::vector<std::string> gadget(std::vector<std::string> options, const std::vector<std::string> &command) {
  options.insert(options.begin(), GADGET);
  options.push_back("--");
  options.insert(options.end(), command.begin(), command.end());
  return options;
}

std::string gadget_verdict(const std::string &reports, const std::string &ending) {
  return "korvane_gadget: " + reports + " [" + ending + "]\n";
}

// ---------------------------------------------------------------------------
// The Linux updater over the kernel's usbhid and hidraw.

const std::string UPDATER = KORVANE_UPDATER;
const std::string BUILT_IN_HEX = KORVANE_BUILT_IN_HEX;

class KernelHidStack : public testing::Test {
protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(expect_inside_the_vm()); }

  // The updater with its pauses and write time-outs on the real clock; only
  // the 600-second hold is shortened (to 0.6 s), so that its exit status can
  // be seen. Every sleep it asks for is logged.
  std::vector<std::string> updater() const {
    return {"env",
            std::string("LD_PRELOAD=") + KORVANE_QUICK_SLEEP,
            "KORVANE_SLEEP_SHORTEN_FROM_MS=1000",
            "KORVANE_SLEEP_LOG=" + sleeps.path,
            "KORVANE_SLEEP_STAMPS=" + stamps.path,
            "KORVANE_ALLOW_PLACEHOLDER=1",
            UPDATER};
  }

  // The pauses asked for before that many reports, then the hold.
  static std::vector<std::string> with_hold(std::size_t reports) {
    std::vector<std::string> asked(reports, "250");
    asked.push_back("600000");
    return asked;
  }

  TempFile sleeps, stamps, trace;
};

TEST_F(KernelHidStack, RealTimeUpdateProgramsTheImage) {
  const std::vector<std::string> blocks = expected_trace_of_hex(BUILT_IN_HEX);
  Background run(gadget({"--expect-hex", BUILT_IN_HEX, "--trace", trace.path}, updater()));
  ASSERT_EQ(run.wait_for_exit(300), 0) << run.out.text << run.err.text;

  EXPECT_EQ(run.out.text, success_output(static_cast<int>(blocks.size())));
  EXPECT_EQ(run.err.text,
            gadget_verdict(std::to_string(blocks.size()) + " reports, memory matches image (" + BUILT_IN_HEX + ")",
                           "command exited with 0"));
  EXPECT_EQ(traced_blocks(trace.path), blocks);
  EXPECT_EQ(lines_of(read_file(sleeps.path)), with_hold(blocks.size()));
}

// A device that stops taking reports: the updater's own time-out ends the
// write, 3 s for the first report and 0.25 s for a later one, long before
// the kernel's 5-second USB time-out would.
TEST_F(KernelHidStack, AStalledDeviceTimesOutAfterThreeSecondsAtTheFirstReportAndAQuarterSecondLater) {
  struct Case {
    std::string stall_at;
    int dots;
    double timeout_ms;
  };
  for (const Case &c : {Case{"1", 1, 3000}, Case{"3", 3, 250}}) {
    SCOPED_TRACE("stall at report " + c.stall_at);
    std::ofstream(sleeps.path, std::ios::trunc);
    std::ofstream(stamps.path, std::ios::trunc);
    Background run(gadget({"--stall-at", c.stall_at}, updater()));
    ASSERT_EQ(run.wait_for_exit(60), 1) << run.out.text << run.err.text;

    EXPECT_EQ(run.out.text, output_through_dots(c.dots) + "Timed out writing to device.\n");
    EXPECT_EQ(run.err.text,
              WRITE_FAILURE_MESSAGE + gadget_verdict(std::to_string(c.dots - 1) + " reports, every report well-formed",
                                                     "command exited with 1"));
    EXPECT_EQ(lines_of(read_file(sleeps.path)), with_hold(static_cast<std::size_t>(c.dots)));
    // From the pause before the stalled report to the hold after the
    // time-out: the pause, the wait and two messages. Both times are the
    // updater's own, the first taken before the pause, so a correct updater
    // never shows less than the pause and the whole wait, however loaded the
    // machine.
    const std::vector<double> times = sleep_times(stamps.path);
    ASSERT_EQ(times.size(), static_cast<std::size_t>(c.dots) + 1);
    const double waited = times.back() - times[times.size() - 2];
    EXPECT_GE(waited, 250 + c.timeout_ms);
    EXPECT_LT(waited, 250 + c.timeout_ms + 1500);
  }
}

TEST_F(KernelHidStack, UnpluggingTheDeviceMidUpdateNamesTheSystemErrorAndFailsAfterTheHold) {
  Background run(gadget({"--unplug-after", "20"}, updater()));
  ASSERT_EQ(run.wait_for_exit(120), 1) << run.out.text << run.err.text;

  // Report 21 finds the device gone.
  EXPECT_EQ(run.out.text, output_through_dots(21) + "err 19: No such device\n");
  EXPECT_EQ(run.err.text, WRITE_FAILURE_MESSAGE + gadget_verdict("20 reports, every report well-formed",
                                                                 "unplugged; command exited with 1"));
  EXPECT_EQ(lines_of(read_file(sleeps.path)), with_hold(21));
}

// The node the gadget got, as standard error names it first.
std::string first_word(const std::string &text) { return text.substr(0, text.find(' ')); }

// A board in a bootloader of its own with the bootloader's IDs and another
// output report: the updater must not write a byte to it (any byte would
// show as a report, whole or cut short, in the verdict), says why it is not
// a bootloader, and ends as without a device.
TEST_F(KernelHidStack, ABoardWithTheIDsAndAnotherReportSizeGetsNothing) {
  for (const char *report_size : {"64", "256"}) {
    SCOPED_TRACE(std::string("report size ") + report_size);
    std::ofstream(sleeps.path, std::ios::trunc);
    Background run(gadget({"--report-size", report_size}, updater()));
    ASSERT_EQ(run.wait_for_exit(60), 1) << run.out.text << run.err.text;

    EXPECT_EQ(run.out.text, BANNER);
    EXPECT_EQ(run.err.text, first_word(run.err.text) +
                                " has the bootloader's USB IDs but is not a Korvane bootloader: its reports hold " +
                                report_size + " bytes, not 1,088.\n\n" + NO_DEVICE_MESSAGE + "\n" +
                                gadget_verdict("0 reports, every report well-formed", "command exited with 1"));
    EXPECT_EQ(lines_of(read_file(sleeps.path)), std::vector<std::string>{"600000"});
  }
}

// The bootloader's node open to root alone, the updater run by an ordinary
// user: the kernel's own refusal, named with what to do, and no report.
TEST_F(KernelHidStack, ANodeThisUserMayNotOpenIsNamedWithTheFix) {
  std::vector<std::string> command{"sh",
                                   "-c",
                                   "chmod 600 /dev/hidraw* && exec \"$@\"",
                                   "sh",
                                   "setpriv",
                                   "--reuid=65534",
                                   "--regid=65534",
                                   "--clear-groups"};
  for (const std::string &word : updater())
    command.push_back(word);
  Background run(gadget({}, command));
  ASSERT_EQ(run.wait_for_exit(60), 1) << run.out.text << run.err.text;

  EXPECT_EQ(run.out.text, BANNER);
  EXPECT_EQ(run.err.text, permission_explanation(first_word(run.err.text)) + NO_DEVICE_MESSAGE + "\n" +
                              gadget_verdict("0 reports, every report well-formed", "command exited with 1"));
}

// ---------------------------------------------------------------------------
// The Windows exe under Wine, through Wine's own HID stack (hidclass, winebus
// on hidraw): no stand-in libraries.

// Every line break as the Windows C runtime writes it in text mode.
const std::string WINDOWS_START =
    "Korvane_Updater with firmware version 9.32\r\n\r\nKorvane device detected\r\nWriting firmware";
const std::string WINDOWS_SUCCESS =
    "\r\nKorvane firmware version 9.32 updated succesfully\r\n\r\n"
    "Please close this window and disconnect USB Micro cable to restart the Korvane\r\n";
const std::string WINDOWS_WRITE_FAILURE = "error writing to Korvane\r\n\r\n";

std::string environment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

class WineHidStack : public testing::Test {
protected:
  // winebus takes hidraw devices with hidraw on (the suite's prefix has it
  // off) and, before Wine 10, with its SDL bus off. That is set in a copy of
  // the suite's prefix: in the suite's own, the other Windows tests, which
  // run beside these, would see the bootloader gadgets that other tests plug
  // in. The guest's copy is thrown away with the guest.
  static void SetUpTestSuite() {
    if (access("/sys/class/udc/dummy_udc.0", F_OK) != 0) return;
    run_command({"rm", "-rf", prefix});
    ASSERT_EQ(run_command({"cp", "-a", suite_prefix, prefix}).exit_status, 0)
        << "no prepared prefix at " << suite_prefix;
    std::ofstream(prefix + "/system.reg", std::ios::app)
        << "\n[System\\\\CurrentControlSet\\\\Services\\\\winebus]\n\"Enable SDL\"=dword:00000000\n"
        << "\"DisableHidraw\"=dword:00000000\n";
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(expect_inside_the_vm());
    ASSERT_FALSE(exe.empty() || suite_prefix.empty() || hex.empty())
        << "KORVANE_WINDOWS_EXE, KORVANE_WINDOWS_HEX and KORVANE_WINE_PREFIX name the exe, the image it embeds and "
           "a prepared Wine prefix";
    // Without udev, winebus sees only the devices present when the Wine
    // server starts: each run gets a new one, after the gadget is plugged.
    setenv("WINEPREFIX", prefix.c_str(), 1);
    run_command({"wineserver", "-k"});
  }

  // The exe under Wine, with the gadget plugged in first.
  std::unique_ptr<Background> start(const std::vector<std::string> &gadget_options) {
    setenv("KORVANE_ALLOW_PLACEHOLDER", "1", 1);
    return std::make_unique<Background>(gadget(gadget_options, {KORVANE_WINE_RUN, prefix, exe}));
  }

  // The exe holds its window open after the run: it is still there a moment
  // later. Ending the gadget ends the exe.
  static void expect_holding_then_end(Background &run) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(run.running());
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait_for_exit(30), 128 + SIGTERM);
  }

  static const std::string exe, suite_prefix, prefix, hex;
};

const std::string WineHidStack::exe = environment("KORVANE_WINDOWS_EXE");
const std::string WineHidStack::suite_prefix = environment("KORVANE_WINE_PREFIX");
const std::string WineHidStack::prefix = suite_prefix + "-hidraw";
const std::string WineHidStack::hex = environment("KORVANE_WINDOWS_HEX");

TEST_F(WineHidStack, CompleteUpdateProgramsTheImage) {
  const std::vector<std::string> blocks = expected_trace_of_hex(hex);
  TempFile trace;
  auto run = start({"--expect-hex", hex, "--trace", trace.path});
  ASSERT_TRUE(run->wait_until([&] { return ends_with(run->out.text, WINDOWS_SUCCESS) || !run->err.text.empty(); }, 300))
      << run->out.text << run->err.text;

  EXPECT_EQ(run->out.text, WINDOWS_START + std::string(blocks.size(), '.') + WINDOWS_SUCCESS);
  expect_holding_then_end(*run);
  EXPECT_EQ(run->err.text,
            gadget_verdict(std::to_string(blocks.size()) + " reports, memory matches image (" + hex + ")",
                           "command killed by signal 15"));
  EXPECT_EQ(traced_blocks(trace.path), blocks);
}

// Wine's HID class driver reads the report's length from the board's own
// descriptor, as Windows does: nothing is written to it.
TEST_F(WineHidStack, ABoardWithTheIDsAndAnotherReportSizeGetsNothing) {
  std::string no_device = NO_DEVICE_MESSAGE + "\n";
  for (std::size_t at = 0; (at = no_device.find('\n', at)) != std::string::npos; at += 2)
    no_device.replace(at, 1, "\r\n");
  for (const char *report_size : {"64", "256"}) {
    SCOPED_TRACE(std::string("report size ") + report_size);
    run_command({"wineserver", "-k"});
    auto run = start({"--report-size", report_size});
    ASSERT_TRUE(run->wait_until([&] { return run->err.text.size() >= no_device.size(); }, 120))
        << run->out.text << run->err.text;

    EXPECT_EQ(run->out.text, "Korvane_Updater with firmware version 9.32\r\n\r\n");
    expect_holding_then_end(*run);
    EXPECT_EQ(run->err.text,
              no_device + gadget_verdict("0 reports, every report well-formed", "command killed by signal 15"));
  }
}

// Windows would time the stalled write out after 3 s. Wine's HID class
// driver hands the write to winebus and waits for it, so WriteFile itself
// blocks until the kernel's 5-second USB time-out fails the hidraw write; the
// exe then reports the failed write with the system's error text. The
// updater's own time-out is covered against pipes that Wine does complete
// asynchronously.
TEST_F(WineHidStack, AStalledDeviceFailsTheWriteWhenTheKernelGivesUp) {
  auto run = start({"--stall-at", "1"});
  ASSERT_TRUE(run->wait_until([&] { return ends_with(run->err.text, WINDOWS_WRITE_FAILURE); }, 120))
      << run->out.text << run->err.text;

  // The system's text ends with a line break of its own, which text mode
  // writes as \r\r\n, before the one the updater adds.
  EXPECT_EQ(run->out.text, WINDOWS_START + ".err 31: General failure.\r\r\n\r\n");
  const std::size_t dot = WINDOWS_START.size();
  EXPECT_GE(run->out.ms_between(dot, dot + 1), 250 + 4500);
  expect_holding_then_end(*run);
  EXPECT_EQ(run->err.text, WINDOWS_WRITE_FAILURE +
                               gadget_verdict("0 reports, every report well-formed", "command killed by signal 15"));
}

} // namespace
