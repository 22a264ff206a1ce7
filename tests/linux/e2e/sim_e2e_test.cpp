// The unmodified updater against the simulated bootloader: what it prints,
// how it ends, and what the simulated device received.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "report_check.h"
#include "support/child_process.h"
#include "support/transcripts.h"

namespace {

const std::string SIM = KORVANE_SIM;
const std::string UPDATER = KORVANE_UPDATER;
const std::string BUILT_IN_HEX = KORVANE_BUILT_IN_HEX;

const std::string DETECTED = "Korvane device detected\nWriting firmware";
const std::string SUCCESS = "Korvane firmware version 9.32 updated succesfully\n\n"
                            "Please close this window and disconnect USB Micro cable to restart the Korvane\n";
const std::string NO_DEVICE = "No Korvane device found!\nPlease connect Korvane using USB Micro cable\n\n"
                              "Only in case of erased firmware, please insert a pin into the backup\n"
                              "firmware update switch on the bottom side of the Brenlow device\n\n"
                              "Please close this window and try again\n\n";
const std::string WRITE_FAILED = "error writing to Korvane\n\n";

// The updater's 250 ms pauses and 600-second hold are shortened by a
// preloaded library that shortens sleeps alone: clocks keep real time, so
// writes still time out after their real length.
std::vector<std::string> updater_command(const std::string &sleep_log = "", const std::string &sleep_stamps = "") {
  return built_program(UPDATER, {std::string("LD_PRELOAD=") + KORVANE_QUICK_SLEEP, "KORVANE_SLEEP_LOG=" + sleep_log,
                                 "KORVANE_SLEEP_STAMPS=" + sleep_stamps});
}

// The command as user nobody, who may open only nodes open to all.
std::vector<std::string> as_ordinary_user(const std::vector<std::string> &command) {
  std::vector<std::string> words{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  words.insert(words.end(), command.begin(), command.end());
  return words;
}

ChildResult run_sim(std::vector<std::string> sim_options, const std::vector<std::string> &command) {
  std::vector<std::string> argv{SIM};
  argv.insert(argv.end(), sim_options.begin(), sim_options.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  return run_command(argv);
}

// The sleeps of a run that wrote that many reports: a 250 ms pause before
// each, then the 600-second hold.
std::vector<std::string> with_hold(std::size_t reports) {
  std::vector<std::string> sleeps(reports, "250");
  sleeps.push_back("600000");
  return sleeps;
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Every mount the simulator makes lives in its own namespace; none may ever
// show in the namespace it was started from.
bool simulator_mounts_visible() { return read_file("/proc/self/mountinfo").find("korvane_sim") != std::string::npos; }

class EndToEnd : public testing::Test {
protected:
  // The simulator needs namespaces and FUSE. Where the machine lacks them
  // (the simulator says so with status 77) the runs are skipped, which the
  // test command counts as a failure unless told otherwise; any other fault
  // of the simulator's set-up fails them.
  static void SetUpTestSuite() {
    // The devices here are simulated: a placeholder build may write to them.
    setenv("KORVANE_ALLOW_PLACEHOLDER", "1", 1);
    // The updater of a sanitizer build must accept a preloaded library.
    const char *asan_options = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           ((asan_options != nullptr ? std::string(asan_options) + ":" : "") + "verify_asan_link_order=0").c_str(), 1);
    const ChildResult probe = run_command({SIM, "--", "true"});
    broken_ = probe.exit_status != 0 && probe.exit_status != 77;
    if (probe.exit_status != 0)
      missing_ = "the simulator cannot run here (status " + std::to_string(probe.exit_status) + "): " + probe.err;
  }

  void SetUp() override {
    if (missing_.empty()) return;
    if (broken_) FAIL() << missing_;
    GTEST_SKIP() << missing_;
  }

  static std::string missing_;
  static bool broken_;
};

std::string EndToEnd::missing_;
bool EndToEnd::broken_ = false;

TEST_F(EndToEnd, FullUpdateProgramsTheImageAndEndsWithStatusZeroAfterTheHold) {
  ExpectedUpdate expected;
  std::string error;
  ASSERT_TRUE(expected_update_from_hex(BUILT_IN_HEX, expected, error)) << error;
  const std::vector<std::string> blocks = expected_trace(expected);

  TempFile trace, sleeps;
  const ChildResult run = run_sim({"--expect-hex", BUILT_IN_HEX, "--trace", trace.path}, updater_command(sleeps.path));

  EXPECT_EQ(run.out, BANNER + DETECTED + std::string(blocks.size(), '.') + "\n" + SUCCESS);
  EXPECT_EQ(run.err, "korvane_sim: " + std::to_string(blocks.size()) + " reports, memory matches image (" +
                         BUILT_IN_HEX + ") [hidraw0 16C0:0478 opened 1x, " + std::to_string(blocks.size()) +
                         " reports; command exited with 0]\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(lines_of(read_file(trace.path)), blocks);
  EXPECT_EQ(lines_of(read_file(sleeps.path)), with_hold(blocks.size()));
  EXPECT_FALSE(simulator_mounts_visible());
}

#if KORVANE_PLACEHOLDER_IMAGE
TEST_F(EndToEnd, APlaceholderBuildNotAskedToWriteLeavesTheDeviceUntouched) {
  std::vector<std::string> command{"env", "-u", "KORVANE_ALLOW_PLACEHOLDER"};
  for (const std::string &word : updater_command())
    command.push_back(word);
  const ChildResult run = run_sim({}, command);
  EXPECT_EQ(run.out, BANNER + "Korvane device detected\n");
  EXPECT_EQ(run.err.substr(0, PLACEHOLDER_REFUSAL.size()), PLACEHOLDER_REFUSAL);
  EXPECT_NE(run.err.find("[hidraw0 16C0:0478 opened 1x, 0 reports;"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_status, 1);
}
#endif

TEST_F(EndToEnd, FirstBootloaderInEnumerationOrderIsTheOneUpdated) {
  struct Case {
    std::vector<std::string> devices;
    std::string written, passed_over;
    bool ordinary_user = false;
  };
  const Case cases[] = {
      {{"--device", "16C0:0478", "--device", "16C0:0478"}, "hidraw0 16C0:0478 opened 1x", "hidraw1 16C0:0478 never"},
      {{"--device", "16C0:0479", "--device", "16C0:0478"}, "hidraw1 16C0:0478 opened 1x", "hidraw0 16C0:0479 never"},
      // The bootloader's IDs on boards whose output report is not the block
      // report's: not even opened.
      {{"--device", "16C0:0478/64", "--device", "16C0:0478/256", "--device", "16C0:0478"},
       "hidraw2 16C0:0478 opened 1x",
       "[hidraw0 16C0:0478/64 never opened; hidraw1 16C0:0478/256 never opened;"},
      // A bootloader this user may not open, then one it may.
      {{"--device", "16C0:0478", "--device", "16C0:0478@666"},
       "hidraw1 16C0:0478@666 opened 1x",
       "[hidraw0 16C0:0478 never opened;",
       true},
  };
  for (const Case &c : cases) {
    std::vector<std::string> options = c.devices;
    options.insert(options.end(), {"--expect-hex", BUILT_IN_HEX});
    const ChildResult run = run_sim(options, c.ordinary_user ? as_ordinary_user(updater_command()) : updater_command());
    SCOPED_TRACE(c.written);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    // The devices passed over are not mentioned once one is updated.
    EXPECT_EQ(run.err.rfind("korvane_sim: ", 0), 0u) << run.err;
    EXPECT_TRUE(ends_with(run.out, SUCCESS));
    EXPECT_NE(run.err.find("memory matches image"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.written), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.passed_over), std::string::npos) << run.err;
  }
}

// Without a bootloader the updater can use, standard error names each one
// with its IDs that it could not use, and why, ahead of the no-device text;
// without any, the no-device text stands alone.
TEST_F(EndToEnd, WithoutABootloaderNothingIsWrittenAndTheRunFails) {
  struct Case {
    std::vector<std::string> devices;
    std::string explanation, seen;
    bool ordinary_user = false;
  };
  const Case cases[] = {
      {{"--no-device"}, "", "[no devices;"},
      {{"--device", "16C0:0479", "--device", "16C1:0478"},
       "",
       "[hidraw0 16C0:0479 never opened; hidraw1 16C1:0478 never opened;"},
      {{"--device", "16C0:0478/128", "--device", "16C0:0478/4096"},
       "/dev/hidraw0 has the bootloader's USB IDs but is not a Korvane bootloader: its reports hold 128 bytes, "
       "not 1,088.\n\n/dev/hidraw1 has the bootloader's USB IDs but is not a Korvane bootloader: its reports hold "
       "4,096 bytes, not 1,088.\n\n",
       "[hidraw0 16C0:0478/128 never opened; hidraw1 16C0:0478/4096 never opened;"},
      {{}, permission_explanation("/dev/hidraw0"), "[hidraw0 16C0:0478 never opened;", true},
  };
  for (const Case &c : cases) {
    const ChildResult run =
        run_sim(c.devices, c.ordinary_user ? as_ordinary_user(updater_command()) : updater_command());
    SCOPED_TRACE(c.seen);
    EXPECT_EQ(run.out, BANNER);
    EXPECT_EQ(run.err.substr(0, c.explanation.size() + NO_DEVICE.size()), c.explanation + NO_DEVICE);
    EXPECT_NE(run.err.find(c.seen), std::string::npos) << run.err;
    EXPECT_EQ(run.exit_status, 1);
  }
}

// Each way a write can fail, at the report it is injected at: the reason on
// standard output right behind that report's dot, the run's end on standard
// error, status 1 after the hold, and no report after the failing one.
TEST_F(EndToEnd, AFailedWriteEndsTheRunAtThatReport) {
  struct Case {
    std::vector<std::string> faults;
    std::size_t reports;
    std::string reason;
    // Each write the device took was that slow; the last one timed out
    // after that long (0: it did not time out).
    double delay_ms = 0, timed_out_after_ms = 0;
  };
  const Case cases[] = {
      // Never completes: the first report's 3-second time-out runs out.
      {{"--stall-at", "1"}, 1, "Timed out writing to device.\n", 0, 3000},
      // A later report never completes: its 250 ms time-out runs out.
      {{"--stall-at", "3"}, 3, "Timed out writing to device.\n", 0, 250},
      // Unplugged mid-run.
      {{"--fail-at", "50:19"}, 50, "err 19: No such device\n"},
      {{"--zero-at", "2"}, 2, "Number of bytes transfered was less than or equal to zero\n"},
      // 2 s is within the first report's 3 s but far beyond the 250 ms of the next.
      {{"--delay-ms", "2000"}, 2, "Timed out writing to device.\n", 2000, 250},
      // 150 ms is within 250 ms: three slow reports pass before the fourth fails.
      {{"--delay-ms", "150", "--zero-at", "4"}, 4, "Number of bytes transfered was less than or equal to zero\n", 150},
  };
  for (const Case &c : cases) {
    TempFile trace, sleeps, stamps;
    std::vector<std::string> options = c.faults;
    options.insert(options.end(), {"--trace", trace.path});
    const ChildResult run = run_sim(options, updater_command(sleeps.path, stamps.path));
    SCOPED_TRACE(c.faults.front() + " " + c.faults[1]);
    EXPECT_EQ(run.out, BANNER + DETECTED + std::string(c.reports, '.') + c.reason);
    EXPECT_EQ(run.err.substr(0, WRITE_FAILED.size()), WRITE_FAILED);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(lines_of(read_file(trace.path)).size(), c.reports);
    EXPECT_EQ(lines_of(read_file(sleeps.path)), with_hold(c.reports));
    // From the (shortened) pause before a report to the next pause or the
    // hold lies that report's whole write, timed by the updater itself
    // before each pause: never less than the device's delay or the time-out,
    // however loaded the machine. The upper bound catches a wait as long as
    // the first report's.
    const std::vector<double> times = sleep_times(stamps.path);
    ASSERT_EQ(times.size(), c.reports + 1);
    for (std::size_t report = 1; report < c.reports; ++report)
      EXPECT_GE(times[report] - times[report - 1], c.delay_ms) << "report " << report;
    if (c.timed_out_after_ms > 0) {
      EXPECT_GE(times[c.reports] - times[c.reports - 1], c.timed_out_after_ms);
      EXPECT_LT(times[c.reports] - times[c.reports - 1], c.timed_out_after_ms + 1500);
    }
  }
}

// The simulator's own verdicts, with plain tools writing to its nodes.
TEST_F(EndToEnd, ReportsThatBreakTheProtocolOrMissTheImageFailTheRun) {
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> command;
    std::string fault;
  };
  const std::string write_zeros = "head -c 1089 /dev/zero > /dev/hidraw0";
  const Case cases[] = {
      {{}, {"sh", "-c", "head -c 1088 /dev/zero > /dev/hidraw0"}, "FAIL: report 1: size 1088, expected 1089"},
      {{}, {"sh", "-c", write_zeros + "; " + write_zeros}, "FAIL: report 2: block 0x00000 sent twice"},
      {{"--expect-hex", KORVANE_OTHER_HEX}, updater_command(), "FAIL: block 0x"},
  };
  for (const Case &c : cases) {
    const ChildResult run = run_sim(c.options, c.command);
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(run.exit_status, 99);
    EXPECT_NE(run.err.find("korvane_sim: " + c.fault), std::string::npos) << run.err;
  }
}

TEST_F(EndToEnd, CommandSeesOnlyTheSimulatedDevicesAndTheHostNothingOfThem) {
  const ChildResult run = run_sim({"--device", "16C0:0478", "--device", "1234:ABCD"},
                                  {"sh", "-c",
                                   "ls /sys/class/hidraw; cat /sys/class/hidraw/hidraw1/device/uevent; "
                                   "test -w /dev/hidraw1 && echo > /dev/null && echo ok"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(lines_of(run.out)[0], "hidraw0");
  EXPECT_EQ(lines_of(run.out)[1], "hidraw1");
  EXPECT_NE(run.out.find("\nHID_ID=0003:00001234:0000ABCD\n"), std::string::npos) << run.out;
  EXPECT_TRUE(ends_with(run.out, "ok\n"));
  EXPECT_FALSE(simulator_mounts_visible());
}

// Ending the simulator ends the command it runs, and the verdict still comes:
// the demo ends an update this way instead of sitting out the hold.
#ifdef KORVANE_STATIC_COMMAND
// The static file needs nothing from the system: in a root holding only it
// (and the emulator, itself static, on a cross build), /dev, /sys and /proc,
// it writes the whole image. No preload reaches a static file, so the run
// takes real time; the hold is cut short by ending the simulator.
TEST_F(EndToEnd, TheStaticFileUpdatesTheDeviceFromARootHoldingNothingElse) {
  ExpectedUpdate expected;
  std::string error;
  ASSERT_TRUE(expected_update_from_hex(BUILT_IN_HEX, expected, error)) << error;
  const std::size_t reports = expected_trace(expected).size();
  std::vector<std::string> argv{SIM, "--expect-hex", BUILT_IN_HEX};
  std::vector<std::string> command;
  std::istringstream words(KORVANE_STATIC_COMMAND);
  for (std::string word; std::getline(words, word, '|');) {
    argv.insert(argv.end(), {"--root-file", word});
    command.push_back(word);
  }
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());

  TempFile out, err;
  const pid_t sim = spawn_command(argv, out.path, err.path);
  ASSERT_GT(sim, 0);
  const std::string transcript = BANNER + DETECTED + std::string(reports, '.') + "\n" + SUCCESS;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(100);
  while (read_file(out.path) != transcript && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(sim, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(sim, &status, 0), sim);
  EXPECT_EQ(read_file(out.path), transcript);
  EXPECT_EQ(read_file(err.path), "korvane_sim: " + std::to_string(reports) + " reports, memory matches image (" +
                                     BUILT_IN_HEX + ") [hidraw0 16C0:0478 opened 1x, " + std::to_string(reports) +
                                     " reports; command killed by signal 15]\n");
}
#endif

TEST_F(EndToEnd, TerminatingTheSimulatorEndsTheCommandWithAVerdict) {
  TempFile out;
  const pid_t sim = fork();
  if (sim == 0) {
    const int fd = open(out.path.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(SIM.c_str(), SIM.c_str(), "--", "sh", "-c", "head -c 1089 /dev/zero > /dev/hidraw0; echo written; sleep 100",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_GT(sim, 0);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (read_file(out.path).find("written") == std::string::npos && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(sim, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(sim, &status, 0), sim);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_NE(read_file(out.path).find("korvane_sim: 1 reports, every report well-formed"), std::string::npos)
      << read_file(out.path);
  EXPECT_FALSE(simulator_mounts_visible());
}

// A stalled write holds its writer only while it lives: a killed writer must
// be able to end (or no process that stalled could ever be reaped).
TEST_F(EndToEnd, AWriterStalledForeverCanStillBeKilled) {
  const ChildResult run = run_sim({"--stall-at", "1"}, {"sh", "-c",
                                                        "head -c 1089 /dev/zero > /dev/hidraw0 & sleep 0.2; "
                                                        "kill -9 $!; wait $!; echo status $?"});
  EXPECT_EQ(run.out, "status 137\n");
  EXPECT_EQ(run.exit_status, 0) << run.err;
}

TEST(Simulator, RefusesAMistakenCommandLine) {
  const std::vector<std::string> mistakes[] = {
      {SIM, "--device", "16C0", "--", "true"},
      {SIM, "--device", "16C0:0478/12289", "--", "true"},
      {SIM, "--stall-at", "0", "--", "true"},
      {SIM, "--fail-at", "3", "--", "true"},
      {SIM, "--no-device", "--device", "16C0:0478", "--", "true"},
      {SIM, "--bogus", "--", "true"},
      {SIM, "--trace", "x"},
  };
  for (const auto &argv : mistakes) {
    const ChildResult run = run_command(argv);
    SCOPED_TRACE(argv[1]);
    EXPECT_EQ(run.exit_status, 125);
    EXPECT_NE(run.err.find("usage: korvane_sim"), std::string::npos);
  }
}

} // namespace
