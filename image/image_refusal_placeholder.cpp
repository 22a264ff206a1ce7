// A build that carries the placeholder in place of the firmware. Written to a
// real device, the placeholder would leave it without a working program, so
// such a build writes only where KORVANE_ALLOW_PLACEHOLDER=1 asks it to (the
// simulated devices of the demo, the tests and the benchmarks).
#include <cstdlib>
#include <cstring>

#include "image/image_store.h"

const char *image_write_refusal() {
  const char *allowed = std::getenv("KORVANE_ALLOW_PLACEHOLDER");
  if (allowed != nullptr && std::strcmp(allowed, "1") == 0) return nullptr;
  return "This build of the updater carries a placeholder image, not the Korvane firmware 9.32, "
         "and has written nothing to the device.\n";
}
