// A line per call into the stand-in system libraries, appended to the file
// that KORVANE_SIM_CALL_LOG names (nothing when it is not set), so a test can
// see what the updater asked of them and with which arguments.
#pragma once

void call_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
