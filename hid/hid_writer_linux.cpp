// Writing one output report to a hidraw node with a bounded wait.
//
// A write to hidraw blocks inside the kernel until the device has taken the
// report, whatever O_NONBLOCK says, and Linux has no overlapped write that
// can be waited for with a time-out. So, unlike the single-threaded Windows
// writer, which issues the write and waits on its completion event, the
// write here runs on a short-lived helper thread while the caller waits for
// it at most the time-out. A write that never returns would keep the helper
// forever, so the helper owns everything it touches (a copy of the report, a
// duplicate of the descriptor, its part of the hand-over record) and the
// caller can return the moment it stops waiting.
#include "hid/hid_device.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "console/console.h"

namespace {

// One write handed to a helper thread. The caller and the helper share it
// until both are done with it; whichever lets go last frees it.
struct report_write {
  pthread_mutex_t lock;
  pthread_cond_t finished_signal;
  bool finished;  // the helper's write has returned
  bool abandoned; // the caller has stopped waiting for it
  ssize_t written;
  int write_errno;
  int device; // the helper's own duplicate of the caller's descriptor
  std::size_t length;
  unsigned char buffer[REPORT_BUFFER_SIZE];
};

void free_report_write(report_write *job) {
  pthread_cond_destroy(&job->finished_signal);
  pthread_mutex_destroy(&job->lock);
  std::free(job);
}

// A hand-over record with a condition variable on the monotonic clock, so
// that setting the wall clock neither stretches nor cuts the wait.
report_write *new_report_write() {
  report_write *job = static_cast<report_write *>(std::calloc(1, sizeof(report_write)));
  if (job == nullptr) return nullptr;
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) {
    std::free(job);
    return nullptr;
  }
  const bool ready = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                     pthread_cond_init(&job->finished_signal, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  if (!ready) {
    std::free(job);
    return nullptr;
  }
  if (pthread_mutex_init(&job->lock, nullptr) != 0) {
    pthread_cond_destroy(&job->finished_signal);
    std::free(job);
    return nullptr;
  }
  return job;
}

void *write_report_on_helper(void *argument) {
  report_write *job = static_cast<report_write *>(argument);
  const ssize_t written = write(job->device, job->buffer, job->length);
  const int write_errno = errno;
  // Closed before the caller hears of the result, so that after a successful
  // call nothing of this write is left behind.
  close(job->device);

  pthread_mutex_lock(&job->lock);
  job->written = written;
  job->write_errno = write_errno;
  job->finished = true;
  const bool abandoned = job->abandoned;
  pthread_cond_signal(&job->finished_signal);
  pthread_mutex_unlock(&job->lock);
  if (abandoned) free_report_write(job);
  return nullptr;
}

// Starts the helper detached, with every signal blocked: signals stay with
// the updater's own thread, and a write to a vanished reader fails with
// EPIPE instead of ending the process by SIGPIPE.
bool start_helper(report_write *job) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = false;
  if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) {
    sigset_t all_signals;
    sigset_t caller_signals;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &caller_signals);
    pthread_t helper{};
    started = pthread_create(&helper, &attributes, write_report_on_helper, job) == 0;
    pthread_sigmask(SIG_SETMASK, &caller_signals, nullptr);
  }
  pthread_attr_destroy(&attributes);
  return started;
}

enum wait_outcome { WAIT_FINISHED, WAIT_TIMED_OUT, WAIT_FAILED };

// Waits at most timeout_ms for the helper. On any outcome but WAIT_FINISHED
// the job is left to the helper, which frees it once its write returns.
wait_outcome wait_for_helper(report_write *job, milliseconds timeout_ms) {
  timespec deadline{};
  const bool have_deadline = clock_gettime(CLOCK_MONOTONIC, &deadline) == 0;
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }

  pthread_mutex_lock(&job->lock);
  int result = have_deadline ? 0 : EINVAL;
  while (!job->finished && result == 0) {
    result = pthread_cond_timedwait(&job->finished_signal, &job->lock, &deadline);
  }
  const bool finished = job->finished;
  if (!finished) job->abandoned = true;
  pthread_mutex_unlock(&job->lock);

  if (finished) return WAIT_FINISHED;
  return result == ETIMEDOUT ? WAIT_TIMED_OUT : WAIT_FAILED;
}

} // namespace

bool hid_write_report(device_handle device, const unsigned char *payload, std::uint32_t size, milliseconds timeout_ms) {
  if (!hid_pause_and_check_size(size)) return false;

  report_write *job = new_report_write();
  if (job == nullptr) {
    log_progress("Unable to create event, why?\n");
    return false;
  }
  // The helper's own descriptor: should the caller close the device after
  // a time-out, a late write cannot land on whatever reuses its number.
  job->device = fcntl(device, F_DUPFD_CLOEXEC, 0);
  if (job->device < 0) {
    // A bad or unusable descriptor: the write itself would fail the same way.
    const int dup_errno = errno;
    free_report_write(job);
    errno = dup_errno;
    print_system_error();
    return false;
  }
  job->buffer[0] = REPORT_ID;
  std::memcpy(job->buffer + 1, payload, size);
  job->length = size + 1;

  if (!start_helper(job)) {
    close(job->device);
    free_report_write(job);
    log_progress("Unable to create event, why?\n");
    return false;
  }

  switch (wait_for_helper(job, timeout_ms)) {
  case WAIT_TIMED_OUT:
    log_progress("Timed out writing to device.\n");
    return false;
  case WAIT_FAILED:
    log_progress("Not waiting.\n");
    return false;
  case WAIT_FINISHED:
    break;
  }

  const ssize_t written = job->written;
  const int write_errno = job->write_errno;
  free_report_write(job);
  if (written < 0) {
    // errno belongs to each thread: report the helper's.
    errno = write_errno;
    print_system_error();
    return false;
  }
  if (written == 0) {
    log_progress("Number of bytes transfered was less than or equal to zero\n");
    return false;
  }
  return true;
}
