#include "command_linux.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

int take_over_signals(sigset_t &original_mask) {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal_number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP})
    sigaddset(&handled, signal_number);
  sigprocmask(SIG_BLOCK, &handled, &original_mask);
  return signalfd(-1, &handled, SFD_CLOEXEC);
}

pid_t start_command(const std::vector<std::string> &command, const sigset_t &original_mask, const char *program_name,
                    const std::string &root) {
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child != 0) return child;
  sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(125);
  if (!root.empty() && (chroot(root.c_str()) != 0 || chdir("/") != 0)) {
    std::fprintf(stderr, "%s: cannot enter the empty root %s: %s\n", program_name, root.c_str(), std::strerror(errno));
    _exit(125);
  }
  std::vector<char *> argv;
  for (const std::string &argument : command)
    argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  const int error = errno;
  std::fprintf(stderr, "%s: cannot run %s: %s\n", program_name, argv[0], std::strerror(error));
  _exit(error == ENOENT ? 127 : 126);
}
