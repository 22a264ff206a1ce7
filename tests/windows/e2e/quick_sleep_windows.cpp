// The platform's sleep of a test build of the updater: every pause takes a
// thousandth of its time, the 600-second hold 0.6 s, so that a whole run
// ends and its exit status, and what it leaves behind, can be seen. Only
// this file differs from the updater as shipped.
#include <windows.h>

#include "console/console.h"

void sleep_milliseconds(milliseconds ms) { Sleep(ms / 1000); }
