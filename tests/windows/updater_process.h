// The updater, as built, run as a child process, with its standard output
// and standard error collected as they arrive and, where KORVANE_WINE_TRACE
// names the file that takes Wine's own output (tools/wine-run.sh), Wine's
// trace of the DLLs it loads. Wine takes a new process's DLL load order from
// the environment Wine was started with, so DLL overrides must be the test
// program's own (WINEDLLOVERRIDES, set by ctest).
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The bytes a stream delivered, and when each arrived.
struct StreamCapture {
  std::string text;
  // GetTickCount64 at the arrival of text[i].
  std::vector<ULONGLONG> ticks;
};

struct UpdaterStart {
  std::string exe;
  // Its current folder; empty for the test program's.
  std::string current_folder;
  // NAME=value entries set in its environment, in place of any of that name.
  std::vector<std::string> variables;
  // Its standard input, an inheritable handle; none for NUL.
  HANDLE input = nullptr;
};

class UpdaterProcess {
public:
  explicit UpdaterProcess(const UpdaterStart &start);
  // Kills the updater if it is still running.
  ~UpdaterProcess();
  UpdaterProcess(const UpdaterProcess &) = delete;
  UpdaterProcess &operator=(const UpdaterProcess &) = delete;

  bool started() const { return process_ != nullptr; }
  // Waits until standard output and standard error, as collected so far,
  // satisfy done; false when timeout_ms passes first.
  bool wait_for_output(const std::function<bool(const std::string &out, const std::string &err)> &done,
                       DWORD timeout_ms) const;
  bool running() const;
  // Waits at most timeout_ms for the updater to end; its exit status, or -1
  // while it still runs.
  long wait_for_exit(DWORD timeout_ms) const;
  // Ends the updater and collects the rest of its output.
  void kill();

  StreamCapture out() const;
  StreamCapture err() const;
  // The path of every module the process loaded, the exe first, in order;
  // none without the trace.
  std::vector<std::string> loaded_modules() const;

private:
  void collect(HANDLE stream, StreamCapture *capture);

  HANDLE job_ = nullptr;
  HANDLE process_ = nullptr;
  mutable std::mutex mutex_;
  StreamCapture out_;
  StreamCapture err_;
  DWORD process_id_ = 0;
  std::string trace_file_;
  std::size_t trace_start_ = 0;
  std::thread out_reader_;
  std::thread err_reader_;
};
