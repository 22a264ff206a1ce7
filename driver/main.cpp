// Process entry: the update run takes no arguments and its result is the
// exit status.
#include "driver/library_search.h"
#include "driver/update_run.h"

int main() {
  restrict_library_search();
  return run_update();
}
