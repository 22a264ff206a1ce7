// Starting the command that a simulated or emulated bootloader serves.
#pragma once

#include <csignal>
#include <string>
#include <vector>

// Starts command in a child that dies with its parent, with the signal mask
// the parent had before it took its signals over. When the command cannot be
// run, the child says so on standard error as program_name and exits with
// 127 (not found) or 126.
pid_t start_command(const std::vector<std::string> &command, const sigset_t &original_mask, const char *program_name);
