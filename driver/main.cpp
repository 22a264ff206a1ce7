// Process entry: the update run takes no arguments and its result is the
// exit status.
#include "console/quick_edit.h"
#include "driver/library_search.h"
#include "driver/update_run.h"

int main() {
  restrict_library_search();
  turn_quick_edit_off();
  return run_update();
}
