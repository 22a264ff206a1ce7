// Preloaded into the updater by the end-to-end tests: shortens every sleep by
// KORVANE_SLEEP_DIVISOR (default 1000), so the 250 ms pauses and the
// 600-second hold pass quickly, while clocks and timed waits keep real time
// and the write time-outs keep their real length against the simulator.
// With KORVANE_SLEEP_SHORTEN_FROM_MS set, shorter sleeps keep their real
// length: the pauses stay real and only the hold passes quickly.
// With KORVANE_SLEEP_LOG set, each sleep asked for is appended to that file
// in milliseconds, one per line, so a test can see the pauses and the hold.
// With KORVANE_SLEEP_STAMPS set, that file gets, per sleep, the milliseconds
// asked for and when it was asked (CLOCK_MONOTONIC, in microseconds): times
// taken in the updater itself, before it sleeps, so that a test can bound
// the updater's waits without allowing for when it happens to look.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>

namespace {

std::int64_t env_number(const char *name, std::int64_t fallback) {
  const char *text = std::getenv(name);
  const long long parsed = text != nullptr ? std::atoll(text) : 0;
  return parsed > 0 ? static_cast<std::int64_t>(parsed) : fallback;
}

void log_request(const timespec &request) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long asked_ms = static_cast<long long>(request.tv_sec) * 1000 + request.tv_nsec / 1000000;
  const char *path = std::getenv("KORVANE_SLEEP_LOG");
  if (path != nullptr && *path != '\0') {
    if (FILE *log = std::fopen(path, "ae")) {
      std::fprintf(log, "%lld\n", asked_ms);
      std::fclose(log);
    }
  }
  const char *stamps = std::getenv("KORVANE_SLEEP_STAMPS");
  if (stamps != nullptr && *stamps != '\0') {
    if (FILE *log = std::fopen(stamps, "ae")) {
      std::fprintf(log, "%lld %lld\n", asked_ms, static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
      std::fclose(log);
    }
  }
}

timespec shortened(const timespec &request) {
  static const std::int64_t divisor = env_number("KORVANE_SLEEP_DIVISOR", 1000);
  static const std::int64_t shorten_from_ns = env_number("KORVANE_SLEEP_SHORTEN_FROM_MS", 0) * 1000000;
  log_request(request);
  const std::int64_t asked = static_cast<std::int64_t>(request.tv_sec) * 1000000000 + request.tv_nsec;
  if (asked < shorten_from_ns) return request;
  const std::int64_t total = asked / divisor;
  timespec result{};
  result.tv_sec = static_cast<time_t>(total / 1000000000);
  result.tv_nsec = static_cast<long>(total % 1000000000);
  return result;
}

// A 32-bit program built with a 64-bit time_t (armhf from Debian 13 on)
// calls the 64-bit-time variants, and the same headers give the definitions
// below those names: each forwards to the variant of its own layout.
constexpr bool time64_on_32_bits = sizeof(time_t) == 8 && sizeof(long) == 4;

} // namespace

extern "C" int nanosleep(const timespec *request, timespec *remaining) {
  using real_nanosleep = int (*)(const timespec *, timespec *);
  static const real_nanosleep real =
      reinterpret_cast<real_nanosleep>(dlsym(RTLD_NEXT, time64_on_32_bits ? "__nanosleep64" : "nanosleep"));
  if (request == nullptr || real == nullptr) return real != nullptr ? real(request, remaining) : (errno = ENOSYS, -1);
  const timespec quick = shortened(*request);
  // What is left is reported unshortened: a caller that resumes after a
  // signal then still sleeps a shortened share of it.
  const int result = real(&quick, nullptr);
  if (result != 0 && remaining != nullptr) *remaining = *request;
  return result;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remaining) {
  using real_clock_nanosleep = int (*)(clockid_t, int, const timespec *, timespec *);
  static const real_clock_nanosleep real = reinterpret_cast<real_clock_nanosleep>(
      dlsym(RTLD_NEXT, time64_on_32_bits ? "__clock_nanosleep_time64" : "clock_nanosleep"));
  if (real == nullptr) return ENOSYS;
  if (request == nullptr || (flags & TIMER_ABSTIME) != 0) return real(clock, flags, request, remaining);
  const timespec quick = shortened(*request);
  const int result = real(clock, flags, &quick, nullptr);
  if (result != 0 && remaining != nullptr) *remaining = *request;
  return result;
}
