// System error text on POSIX systems: errno and strerror.
#include "console/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void print_system_error() {
  const int code = errno;
  // strerror always gives a text, "Unknown error N" where it has none.
  std::printf("err %ld: %s\n", static_cast<long>(code), std::strerror(code));
}
