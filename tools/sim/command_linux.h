// Starting the command that a simulated or emulated bootloader serves.
#pragma once

#include <csignal>
#include <string>
#include <vector>

// Blocks SIGCHLD, SIGINT, SIGTERM and SIGHUP and returns a signal descriptor
// that delivers them, so the serving loop can pass them on to the command and
// notice its end; the mask before is left in original_mask. -1 on failure.
int take_over_signals(sigset_t &original_mask);

// Starts command in a child that dies with its parent, with the signal mask
// the parent had before it took its signals over. When the command cannot be
// run, the child says so on standard error as program_name and exits with
// 127 (not found) or 126. A root that is not empty becomes the command's
// root folder (and working folder); the child exits with 125 when it cannot.
pid_t start_command(const std::vector<std::string> &command, const sigset_t &original_mask, const char *program_name,
                    const std::string &root = "");
