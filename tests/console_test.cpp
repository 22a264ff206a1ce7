// Console output and pauses, with the platform's real sleep.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <stdio_ext.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "console/console.h"
#include "support/child_process.h"

namespace {

TEST(PauseMilliseconds, TruncatesTowardZeroAndKeepsTheLow32Bits) {
  EXPECT_EQ(pause_milliseconds(0.25), 250u);
  EXPECT_EQ(pause_milliseconds(HOLD_SECONDS), 600000u);
  EXPECT_EQ(pause_milliseconds(3.0), 3000u);
  EXPECT_EQ(pause_milliseconds(0.0009), 0u);
  EXPECT_EQ(pause_milliseconds(0.0), 0u);
  EXPECT_EQ(pause_milliseconds(1.9999), 1999u);
  EXPECT_EQ(pause_milliseconds(4294967.297), 1u); // 2^32 + 1 ms
  // Outside the domain: no pause rather than an undefined conversion.
  EXPECT_EQ(pause_milliseconds(-0.25), 0u);
  EXPECT_EQ(pause_milliseconds(1e300), 0u);
  EXPECT_EQ(pause_milliseconds(std::nan("")), 0u);
}

void on_alarm(int) {}

TEST(SleepMilliseconds, LastsTheWholeTimeWhileSignalsKeepArriving) {
  struct sigaction action {};
  action.sa_handler = on_alarm; // no SA_RESTART: each signal cuts the sleep
  sigaction(SIGALRM, &action, nullptr);
  itimerval every_10ms{{0, 10000}, {0, 10000}};
  setitimer(ITIMER_REAL, &every_10ms, nullptr);

  const auto start = std::chrono::steady_clock::now();
  sleep_milliseconds(200);
  const auto slept = std::chrono::steady_clock::now() - start;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(200));
}

TEST(LogProgress, FormatsAndFlushesAtOnce) {
  const ChildResult child = run_in_child([] {
    log_progress("%d dots%s", 3, "!");
    return __fpending(stdout) == 0 ? 0 : 1;
  });
  EXPECT_EQ(child.exit_status, 0) << "standard output still held text";
  EXPECT_EQ(child.out, "3 dots!");
  EXPECT_EQ(child.err, "");
}

TEST(PrintSystemError, PrintsTheCodeAndTheSystemTextOnStandardOutput) {
  const ChildResult child = run_in_child([] {
    errno = ENODEV;
    print_system_error();
    errno = 4242;
    print_system_error();
    return 0;
  });
  EXPECT_EQ(child.out, "err 19: No such device\nerr 4242: Unknown error 4242\n");
  EXPECT_EQ(child.err, "");
}

} // namespace
