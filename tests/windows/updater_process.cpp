#include "updater_process.h"

#include <cstdio>
#include <cstring>

#include "test_files.h"

namespace {

bool names_variable(const std::string &entry, const std::string &assignment) {
  const std::size_t name_end = assignment.find('=') + 1;
  return entry.compare(0, name_end, assignment, 0, name_end) == 0;
}

// The calling process's environment with the given variables set, as a
// block for CreateProcessA.
std::vector<char> child_environment(const std::vector<std::string> &set) {
  std::vector<std::string> variables;
  char *block = GetEnvironmentStringsA();
  for (const char *entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    bool replaced = false;
    for (const std::string &assignment : set) {
      replaced = replaced || names_variable(entry, assignment);
    }
    if (!replaced) {
      variables.emplace_back(entry);
    }
  }
  FreeEnvironmentStringsA(block);
  variables.insert(variables.end(), set.begin(), set.end());

  std::vector<char> environment;
  for (const std::string &variable : variables) {
    environment.insert(environment.end(), variable.begin(), variable.end());
    environment.push_back('\0');
  }
  environment.push_back('\0');
  return environment;
}

// The file that takes Wine's own output of the test program and of the
// processes it starts (tools/wine-run.sh), when KORVANE_WINE_TRACE names one.
std::string wine_output_file() {
  char path[MAX_PATH] = "";
  const DWORD length = GetEnvironmentVariableA("KORVANE_WINE_TRACE", path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? "" : std::string("Z:") + path;
}

} // namespace

UpdaterProcess::UpdaterProcess(const UpdaterStart &start) {
  std::vector<std::string> variables = start.variables;
  trace_file_ = wine_output_file();
  if (!trace_file_.empty()) {
    // Wine's trace of the loader, on the updater's process only.
    variables.push_back("WINEDEBUG=-all,+loaddll,+pid");
    trace_start_ = file_contents(trace_file_).size();
  }
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
  startup.hStdInput = start.input != nullptr ? start.input : nothing_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION started = {};
  std::string command_line = "\"" + start.exe + "\"";
  std::vector<char> environment = child_environment(variables);
  // The updater holds for ten minutes after every run: should this test
  // program end without killing it, closing the job ends it too.
  job_ = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job_ != nullptr) {
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  if (CreateProcessA(start.exe.c_str(), &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, environment.data(),
                     start.current_folder.empty() ? nullptr : start.current_folder.c_str(), &startup, &started)) {
    process_ = started.hProcess;
    process_id_ = started.dwProcessId;
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

long UpdaterProcess::wait_for_exit(DWORD timeout_ms) const {
  DWORD status = 0;
  if (process_ == nullptr || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process_, &status)) {
    return -1;
  }
  return static_cast<long>(status);
}

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

std::vector<std::string> UpdaterProcess::loaded_modules() const {
  std::vector<std::string> modules;
  if (trace_file_.empty()) return modules;
  // From where this process started, its own lines ("pid:tid:trace:..."):
  // 0104:0108:trace:loaddll:build_module Loaded L"C:\\windows\\system32\\hid.dll" at 71080000: builtin
  const std::string trace = file_contents(trace_file_).substr(trace_start_);
  char own[16];
  std::snprintf(own, sizeof own, "%04lx:", static_cast<unsigned long>(process_id_));
  static const char start[] = "Loaded L\"";
  for (std::size_t line = 0, end; (end = trace.find('\n', line)) != std::string::npos; line = end + 1) {
    const std::size_t path = trace.find(start, line);
    const std::size_t path_end = trace.find("\" at ", path);
    if (trace.compare(line, std::strlen(own), own) != 0 || path >= end || path_end >= end) continue;
    std::string module;
    for (std::size_t i = path + sizeof start - 1; i < path_end; ++i) {
      if (trace[i] == '\\' && trace[i + 1] == '\\') ++i; // the trace doubles each backslash
      module += trace[i];
    }
    modules.push_back(module);
  }
  return modules;
}
