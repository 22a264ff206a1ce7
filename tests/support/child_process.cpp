#include "child_process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

TempFile::TempFile() {
  char name[] = "/tmp/korvane-test-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  path = name;
}

TempFile::~TempFile() { std::remove(path.c_str()); }

namespace {

// Forks a child with standard input from /dev/null and standard output and
// error sent to the two files; the child runs in_child, and ends with 127
// should that return.
pid_t fork_redirected(const std::string &out_path, const std::string &err_path, const std::function<void()> &in_child) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_in = open("/dev/null", O_RDONLY);
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_TRUNC);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_TRUNC);
    if (null_in < 0 || out_fd < 0 || err_fd < 0) _exit(126);
    dup2(null_in, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    in_child();
    _exit(127);
  }
  return pid;
}

// Runs argv[0], searched in PATH; returns only when it cannot be run.
void exec_argv(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
}

ChildResult run(const std::function<void()> &in_child) {
  TempFile out, err;
  const pid_t pid = fork_redirected(out.path, err.path, in_child);
  ChildResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  result.out = read_file(out.path);
  result.err = read_file(err.path);
  return result;
}

} // namespace

ChildResult run_in_child(const std::function<int()> &body) {
  return run([&] { std::exit(body()); });
}

ChildResult run_command(const std::vector<std::string> &argv) {
  return run([&] { exec_argv(argv); });
}

pid_t spawn_command(const std::vector<std::string> &argv, const std::string &out_path, const std::string &err_path) {
  return fork_redirected(out_path, err_path, [&] { exec_argv(argv); });
}

std::vector<std::string> built_program(const std::string &program, const std::vector<std::string> &variables) {
  std::vector<std::string> words;
  std::istringstream emulator(KORVANE_EMULATOR);
  for (std::string word; std::getline(emulator, word, '|');)
    words.push_back(word);
  if (words.empty() && !variables.empty()) words.push_back("env");
  for (const std::string &variable : variables) {
    if (words.front() != "env") words.push_back("-E");
    words.push_back(variable);
  }
  words.push_back(program);
  return words;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<double> sleep_times(const std::string &stamps_path) {
  std::vector<double> times;
  for (const std::string &line : lines_of(read_file(stamps_path)))
    times.push_back(std::stod(line.substr(line.find(' ') + 1)) / 1000);
  return times;
}
