// The platform's sleep on Windows.
#include "console/console.h"

#include <windows.h>

void sleep_milliseconds(milliseconds ms) { Sleep(ms); }
