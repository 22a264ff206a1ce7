// Runs code or a command in a child process and collects what it printed and
// how it ended, so tests can check the program's output byte for byte.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ChildResult {
  std::string out;      // standard output
  std::string err;      // standard error
  int exit_status = -1; // exit status, or -1 when ended by a signal
  int signal = 0;       // the ending signal, or 0
};

// A new empty file under /tmp, removed when this goes out of scope.
struct TempFile {
  std::string path;
  TempFile();
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
};

// Runs body in a forked child with standard output and standard error sent to
// files; the child exits with body's result (body may call exit itself).
ChildResult run_in_child(const std::function<int()> &body);

// Runs argv[0] (searched in PATH) with argv, standard input from /dev/null.
ChildResult run_command(const std::vector<std::string> &argv);

// Starts the same without waiting, its standard output and error sent to the
// two files; its process id, or -1 when it cannot be started.
pid_t spawn_command(const std::vector<std::string> &argv, const std::string &out_path, const std::string &err_path);

// The words that start a program built here with the given variables
// (NAME=VALUE) set for it alone: through env, or on a cross build through the
// emulator (KORVANE_EMULATOR), which sets them in the emulated process only,
// so that a library preloaded for the program never meets a tool of the
// build machine.
std::vector<std::string> built_program(const std::string &program, const std::vector<std::string> &variables = {});

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

// The lines of text, each without its line break; a last line without one
// is left out.
std::vector<std::string> lines_of(const std::string &text);

// When, in milliseconds on the updater's monotonic clock, it asked for each
// sleep, from the file KORVANE_SLEEP_STAMPS named (tests/linux/e2e/quick_sleep.cpp).
std::vector<double> sleep_times(const std::string &stamps_path);
