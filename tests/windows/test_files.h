// Files, folders and names shared by the Windows test programs.
#pragma once

#include <string>
#include <vector>

// The folder of the running test program, with a trailing backslash.
std::string program_folder();

// A name no other test program sharing the Wine prefix uses, now or before
// (Wine reuses process IDs from one run to the next); kind ends it.
std::string unique_name(const char *kind);

// A path in the temporary folder under a unique name; nothing is created.
std::string temporary_path(const char *kind);

// The whole file, or "" when it cannot be read.
std::string file_contents(const std::string &path);

bool file_exists(const std::string &path);

// The file's lines, without their line breaks; a last line without one is
// left out (it is still being written).
std::vector<std::string> lines_of_file(const std::string &path);

int count_lines_starting(const std::vector<std::string> &lines, const std::string &start);
