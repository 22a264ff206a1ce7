#include "updater_process.h"

#include <cstring>

namespace {

// The calling process's environment with the simulation's variables set, as
// a block for CreateProcessA.
std::vector<char> child_environment(const std::vector<std::string> &interface_paths, const std::string &call_log) {
  std::vector<std::string> variables;
  char *block = GetEnvironmentStringsA();
  for (const char *entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    if (std::strncmp(entry, "KORVANE_SIM_", 12) != 0) {
      variables.emplace_back(entry);
    }
  }
  FreeEnvironmentStringsA(block);

  std::string interfaces;
  for (const std::string &path : interface_paths) {
    interfaces += (interfaces.empty() ? "" : ";") + path;
  }
  variables.push_back("KORVANE_SIM_INTERFACES=" + interfaces);
  variables.push_back("KORVANE_SIM_CALL_LOG=" + call_log);

  std::vector<char> environment;
  for (const std::string &variable : variables) {
    environment.insert(environment.end(), variable.begin(), variable.end());
    environment.push_back('\0');
  }
  environment.push_back('\0');
  return environment;
}

} // namespace

std::string program_folder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

UpdaterProcess::UpdaterProcess(const std::vector<std::string> &interface_paths, const std::string &call_log) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inheritable, 0) || !CreatePipe(&err_read, &err_write, &inheritable, 0)) {
    return;
  }
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  const HANDLE nothing_in =
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION started = {};
  const std::string updater = program_folder() + "korvane_updater.exe";
  std::string command_line = "\"" + updater + "\"";
  std::vector<char> environment = child_environment(interface_paths, call_log);
  // The updater holds for ten minutes after every run: should this test
  // program end without killing it, closing the job ends it too.
  job_ = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job_ != nullptr) {
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  if (CreateProcessA(updater.c_str(), &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, environment.data(),
                     nullptr, &startup, &started)) {
    process_ = started.hProcess;
    if (job_ != nullptr) {
      AssignProcessToJobObject(job_, process_);
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
  }
  // The child holds its own copies; the readers see the end of each stream
  // once the child is gone.
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (nothing_in != INVALID_HANDLE_VALUE) {
    CloseHandle(nothing_in);
  }
  out_reader_ = std::thread([this, out_read] { collect(out_read, &out_); });
  err_reader_ = std::thread([this, err_read] { collect(err_read, &err_); });
}

UpdaterProcess::~UpdaterProcess() { kill(); }

void UpdaterProcess::collect(HANDLE stream, StreamCapture *capture) {
  char chunk[4096];
  DWORD received = 0;
  while (ReadFile(stream, chunk, sizeof chunk, &received, nullptr) && received > 0) {
    const ULONGLONG now = GetTickCount64();
    std::lock_guard<std::mutex> lock(mutex_);
    capture->text.append(chunk, received);
    capture->ticks.insert(capture->ticks.end(), received, now);
  }
  CloseHandle(stream);
}

bool UpdaterProcess::wait_for_output(const std::function<bool(const std::string &out, const std::string &err)> &done,
                                     DWORD timeout_ms) const {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done(out_.text, err_.text)) {
        return true;
      }
    }
    if (GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(20);
  }
}

bool UpdaterProcess::running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void UpdaterProcess::kill() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 9);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
    process_ = nullptr;
  }
  if (out_reader_.joinable()) {
    out_reader_.join();
  }
  if (err_reader_.joinable()) {
    err_reader_.join();
  }
  if (job_ != nullptr) {
    CloseHandle(job_);
    job_ = nullptr;
  }
}

StreamCapture UpdaterProcess::out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

StreamCapture UpdaterProcess::err() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}
