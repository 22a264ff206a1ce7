// Process entry: the update run takes no arguments and its result is the
// exit status.
#include "driver/update_run.h"

int main() { return run_update(); }
