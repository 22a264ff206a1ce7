// The hidraw report writer and the link's send over it, with pipes in place
// of the device and a recording sleep in place of the platform's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "console/console.h"
#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "support/report_bytes.h"

namespace {

// What the sleep saw: each pause, and how many bytes the device pipe held
// when it began.
std::vector<milliseconds> pauses;
std::vector<int> bytes_written_before_pause;
int watched_pipe = -1;
bool sleep_for_real = false;

// Outcomes forced on the writer's system calls (see the --wrap link options).
std::atomic<bool> force_write{false};
std::atomic<long> forced_write_result{0};
std::atomic<int> forced_write_errno{0};
std::atomic<bool> refuse_threads{false};

int pending_bytes(int read_end) {
  int pending = 0;
  ioctl(read_end, FIONREAD, &pending);
  return pending;
}

std::vector<unsigned char> drain(int read_end) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(pending_bytes(read_end)));
  if (!bytes.empty()) {
    EXPECT_EQ(read(read_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  return bytes;
}

// A pipe standing in for the device; the writer gets its write end.
class Writer : public ::testing::Test {
protected:
  int ends[2] = {-1, -1};
  int &reader = ends[0];
  int &device = ends[1];

  void SetUp() override {
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    watched_pipe = reader;
    pauses.clear();
    bytes_written_before_pause.clear();
  }
  void TearDown() override {
    force_write = false;
    refuse_threads = false;
    sleep_for_real = false;
    watched_pipe = -1;
    if (reader >= 0) close(reader);
    close(device);
  }

  // The writer's result and what it printed.
  std::pair<bool, std::string> write_report(int fd, const std::vector<unsigned char> &payload, std::uint32_t size,
                                            milliseconds timeout_ms = 250) {
    ::testing::internal::CaptureStdout();
    const bool written = hid_write_report(fd, payload.data(), size, timeout_ms);
    return {written, ::testing::internal::GetCapturedStdout()};
  }
};

TEST_F(Writer, PausesThenWritesReportIdZeroAndThePayloadInOneWrite) {
  for (std::uint32_t size : {1088u, 1089u, 0u}) {
    const auto payload = payload_of(1089);
    pauses.clear();
    bytes_written_before_pause.clear();
    EXPECT_EQ(write_report(device, payload, size), std::make_pair(true, std::string()));
    EXPECT_EQ(pauses, std::vector<milliseconds>{250});
    EXPECT_EQ(bytes_written_before_pause, std::vector<int>{0});
    EXPECT_EQ(drain(reader), framed({payload.begin(), payload.begin() + size}));
  }
}

TEST_F(Writer, RefusesAnOversizedPayloadAfterThePauseWithoutWriting) {
  EXPECT_EQ(write_report(device, payload_of(1090), 1090),
            std::make_pair(false, std::string("Attempted to load 1090 bytes into buffer sized 1090.\n")));
  EXPECT_EQ(pauses, std::vector<milliseconds>{250});
  EXPECT_EQ(pending_bytes(reader), 0);
}

TEST_F(Writer, NamesEachWayAWriteCanFail) {
  const auto payload = payload_of(1088);
  auto expect_failure = [&](int fd, const std::string &message) {
    pauses.clear();
    EXPECT_EQ(write_report(fd, payload, 1088), std::make_pair(false, message));
    EXPECT_EQ(pauses, std::vector<milliseconds>{250});
  };

  // The helper's errno reaches the message, not the calling thread's.
  force_write = true;
  forced_write_result = -1;
  forced_write_errno = ENODEV;
  expect_failure(device, "err 19: No such device\n");
  forced_write_result = 0;
  expect_failure(device, "Number of bytes transfered was less than or equal to zero\n");
  force_write = false;

  refuse_threads = true;
  expect_failure(device, "Unable to create event, why?\n");
  refuse_threads = false;
  EXPECT_EQ(pending_bytes(reader), 0);
  EXPECT_EQ(write_report(device, payload, 1088).first, true); // the next call starts afresh
  drain(reader);

  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  expect_failure(full, "err 28: No space left on device\n");
  close(full);
  expect_failure(NO_DEVICE, "err 9: Bad file descriptor\n");

  // A reader gone: EPIPE, and no SIGPIPE ending the process.
  close(reader);
  reader = -1;
  expect_failure(device, "err 32: Broken pipe\n");
}

TEST_F(Writer, GivesUpOnAWriteThatDoesNotCompleteAndLeavesItToTheHelper) {
  // A full pipe takes no more: the write blocks until the test reads.
  fcntl(device, F_SETFL, O_NONBLOCK);
  const std::vector<unsigned char> filler(4096, 0xAA);
  std::size_t filled = 0;
  for (ssize_t put; (put = write(device, filler.data(), filler.size())) > 0;)
    filled += static_cast<std::size_t>(put);
  fcntl(device, F_SETFL, 0);

  sleep_for_real = true;
  auto payload = std::make_unique<std::vector<unsigned char>>(payload_of(1088));
  const auto expected = framed(*payload);
  const auto start = std::chrono::steady_clock::now();
  const auto result = write_report(device, *payload, 1088);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, std::make_pair(false, std::string("Timed out writing to device.\n")));
  // 250 ms pause and 250 ms wait; the upper bound only shows the wait ends.
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
  EXPECT_LT(elapsed, std::chrono::seconds(5));

  // The caller's memory is gone before the write completes; the helper wrote
  // its own copy and then let go of its descriptor, so the pipe ends.
  payload.reset();
  close(device);
  std::vector<unsigned char> received;
  unsigned char chunk[4096];
  pollfd readable{reader, POLLIN, 0};
  bool ended = false;
  while (!ended && poll(&readable, 1, 5000) == 1) {
    const ssize_t got = read(reader, chunk, sizeof chunk);
    ended = got <= 0;
    if (got > 0) received.insert(received.end(), chunk, chunk + got);
  }
  EXPECT_TRUE(ended) << "the helper's descriptor was left open";
  ASSERT_EQ(received.size(), filled + expected.size());
  EXPECT_EQ(std::vector<unsigned char>(received.begin() + static_cast<long>(filled), received.end()), expected);
  device = open("/dev/null", O_WRONLY | O_CLOEXEC);
}

TEST_F(Writer, LinkSendsOnlyWithAHeldDeviceAndDescriptorZeroIsOne) {
  // The time-out asked for, in milliseconds truncated toward zero.
  EXPECT_EQ(link_timeout_milliseconds(3.0), 3000u);
  EXPECT_EQ(link_timeout_milliseconds(0.25), 250u);
  EXPECT_EQ(link_timeout_milliseconds(1.9999), 1999u);
  EXPECT_EQ(link_timeout_milliseconds(0.0009), 0u);

  const auto report = payload_of(1088);
  current_device = NO_DEVICE;
  EXPECT_FALSE(bootloader_send(report.data(), 1088, 0.25));
  EXPECT_TRUE(pauses.empty());

  // Run without standard input, the device can be descriptor 0.
  const int saved_input = fcntl(0, F_DUPFD_CLOEXEC, 3);
  dup2(device, 0);
  current_device = 0;
  EXPECT_TRUE(bootloader_send(report.data(), 1088, 3.0));
  bootloader_close();
  EXPECT_EQ(current_device, NO_DEVICE);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  if (saved_input >= 0) dup2(saved_input, 0), close(saved_input);
  EXPECT_EQ(drain(reader), framed(report));

  // Opening again releases the device held before the search (held high,
  // where no descriptor the search opens can land).
  const int held = fcntl(device, F_DUPFD_CLOEXEC, 50);
  current_device = held;
  bootloader_open();
  EXPECT_EQ(fcntl(held, F_GETFD), -1) << "the device held before was kept";
  bootloader_close();
}

} // namespace

void sleep_milliseconds(milliseconds ms) {
  pauses.push_back(ms);
  bytes_written_before_pause.push_back(watched_pipe >= 0 ? pending_bytes(watched_pipe) : -1);
  if (sleep_for_real) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

extern "C" {
ssize_t __real_write(int fd, const void *buffer, size_t count);
int __real_pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *), void *argument);

ssize_t __wrap_write(int fd, const void *buffer, size_t count) {
  if (!force_write) return __real_write(fd, buffer, count);
  errno = forced_write_errno;
  return forced_write_result;
}

int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *), void *argument) {
  if (refuse_threads) return EAGAIN;
  return __real_pthread_create(thread, attributes, start, argument);
}
}
