// The platform's sleep on POSIX systems.
#include "console/console.h"

#include <cerrno>
#include <ctime>

void sleep_milliseconds(milliseconds ms) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(ms / 1000);
  remaining.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  // A signal cuts nanosleep short; carry on with what is left so the pause
  // lasts as long as asked (the 600-second hold in particular).
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
