// Console reporting and delays: every message and every pause of the updater
// goes through these operations.
#pragma once

#include "common/types.h"

// The hold that keeps the console window readable at the end of every run.
constexpr double HOLD_SECONDS = 600;

// printf-style text to standard output, flushed at once so that each step
// (each progress dot included) shows as it happens.
void log_progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text to standard error, flushed at once.
void log_problem(const char *format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text and one more line break to standard error, then the
// HOLD_SECONDS pause, then exit status 1. Never returns.
[[noreturn]] void fail_and_hold(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "err <code>: <text>\n" on standard output for the calling thread's last
// system error. Not flushed: the next log_progress or the process end does it.
void print_system_error();

// Pauses seconds * 1000 milliseconds, truncated toward zero; the low 32 bits
// of that count go to the platform's sleep.
void pause_seconds(double seconds);

// Seconds as pause_seconds hands them to the platform's sleep.
milliseconds pause_milliseconds(double seconds);

// The platform's sleep. Sleeps at least ms milliseconds, also when signals
// arrive meanwhile.
void sleep_milliseconds(milliseconds ms);
