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

ChildResult run(const std::function<void()> &in_child) {
  TempFile out, err;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_in = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.path.c_str(), O_WRONLY | O_TRUNC);
    const int err_fd = open(err.path.c_str(), O_WRONLY | O_TRUNC);
    if (null_in < 0 || out_fd < 0 || err_fd < 0) _exit(126);
    dup2(null_in, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    in_child();
    _exit(127);
  }
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
  return run([&] {
    std::vector<char *> args;
    for (const std::string &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  });
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
