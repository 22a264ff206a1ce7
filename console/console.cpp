// Progress and failure output and the conversion of pauses; the platform's
// sleep and system error text live in their own files.
#include "console/console.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

void log_progress(const char *format, ...) {
  va_list args;
  va_start(args, format);
  // va_start has set args up; the analyser loses track of that for the
  // array-typed va_list of x86-64 and reports it unset (a false report).
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

namespace {

// Text on standard error. A low-level reason may still sit unflushed in
// standard output: it shows first, as it happened first, rather than only
// when the process ends (the user reads the window during the hold and may
// close it).
void print_problem(const char *format, va_list args) {
  std::fflush(stdout);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): as in log_progress.
  std::vfprintf(stderr, format, args);
}

} // namespace

void log_problem(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_problem(format, args);
  va_end(args);
  std::fflush(stderr);
}

void fail_and_hold(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_problem(format, args);
  va_end(args);
  std::fputc('\n', stderr);
  // Standard error can be buffered when redirected (some C runtimes do so);
  // the message must be readable for the whole hold, not only after it.
  std::fflush(stderr);

  pause_seconds(HOLD_SECONDS);
  std::exit(1);
}

milliseconds pause_milliseconds(double seconds) {
  const double total = seconds * 1000.0;
  // Negative and NaN times are outside the domain and converting them, or
  // anything beyond 64 bits, would be undefined: such a pause is no pause.
  if (!(total >= 0.0 && total < 9223372036854775808.0)) {
    return 0;
  }
  // Truncate toward zero to 64 bits, then hand on the low 32 bits.
  return static_cast<milliseconds>(static_cast<std::uint64_t>(static_cast<std::int64_t>(total)));
}

void pause_seconds(double seconds) { sleep_milliseconds(pause_milliseconds(seconds)); }
