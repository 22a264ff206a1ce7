#include "test_files.h"

#include <windows.h>

std::string program_folder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string unique_name(const char *kind) {
  static int count = 0;
  return "korvane-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
         std::to_string(++count) + "-" + kind;
}

std::string temporary_path(const char *kind) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  return std::string(folder) + unique_name(kind);
}

std::string file_contents(const std::string &path) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "";
  }
  std::string text;
  char chunk[4096];
  DWORD received = 0;
  while (ReadFile(file, chunk, sizeof chunk, &received, nullptr) && received > 0) {
    text.append(chunk, received);
  }
  CloseHandle(file);
  return text;
}

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> lines_of_file(const std::string &path) {
  const std::string text = file_contents(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

int count_lines_starting(const std::vector<std::string> &lines, const std::string &start) {
  int count = 0;
  for (const std::string &line : lines) {
    count += line.rfind(start, 0) == 0 ? 1 : 0;
  }
  return count;
}
