// The updater, as built, run as a child process with the stand-in system
// libraries beside it loaded in place of the system's, and its standard
// output and standard error collected as they arrive. Wine loads the
// stand-ins only when the test program itself was started with
// WINEDLLOVERRIDES naming them native first: a new process takes its DLL
// load order from the environment Wine was started with.
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

class UpdaterProcess {
public:
  // Starts the updater copy beside the stand-ins; interface_paths are the
  // device paths of the simulated HID interfaces, in enumeration order.
  // call_log names the file the stand-ins log their calls to.
  UpdaterProcess(const std::vector<std::string> &interface_paths, const std::string &call_log);
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
  // Ends the updater and collects the rest of its output.
  void kill();

  StreamCapture out() const;
  StreamCapture err() const;

private:
  void collect(HANDLE stream, StreamCapture *capture);

  HANDLE job_ = nullptr;
  HANDLE process_ = nullptr;
  mutable std::mutex mutex_;
  StreamCapture out_;
  StreamCapture err_;
  std::thread out_reader_;
  std::thread err_reader_;
};

// The folder of the running test program, with a trailing backslash; the
// updater copy and the stand-ins are there.
std::string program_folder();
