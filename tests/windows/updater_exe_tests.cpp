// The real korvane_updater.exe, started as the user would start it, on a
// system without the bootloader; and what the exe tells Windows about itself.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

#include "windows_test_support.h"

namespace {

std::string path_beside_tests(const char *relative_path) {
  char module[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string path(module, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + relative_path;
}

std::string updater_path() { return path_beside_tests(KORVANE_UPDATER_RELATIVE_PATH); }

std::string temporary_file() {
  char folder[MAX_PATH];
  char file[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "kvt", 0, file);
  return file;
}

std::string contents_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

HANDLE inheritable_output(const std::string &path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the exe as a user would, on a system without the bootloader, and
// checks that it prints the banner and the no-device message and then holds.
void expect_no_device_run(const std::string &exe) {
  const std::string out_path = temporary_file();
  const std::string err_path = temporary_file();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  startup.hStdOutput = inheritable_output(out_path);
  startup.hStdError = inheritable_output(err_path);
  PROCESS_INFORMATION process{};
  std::string command_line = "\"" + exe + "\"";
  ASSERT_TRUE(
      CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
      << exe << ": error " << GetLastError();
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);

  const std::string banner = "Korvane_Updater with firmware version 9.32\n\n";
  const std::string no_device =
      "No Korvane device found!\nPlease connect Korvane using USB Micro cable\n\nOnly in case of erased firmware, "
      "please insert a pin into the backup\nfirmware update switch on the bottom side of the Brenlow device\n\n"
      "Please close this window and try again\n\n";
  // The message shows up within a generous bound; the hold then keeps the
  // process alive well beyond it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (with_plain_line_breaks(contents_of(err_path)).size() < no_device.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const DWORD state = WaitForSingleObject(process.hProcess, 0);
  TerminateProcess(process.hProcess, 99);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  EXPECT_EQ(state, WAIT_TIMEOUT) << "the process ended instead of holding";
  EXPECT_EQ(with_plain_line_breaks(contents_of(out_path)), banner);
  EXPECT_EQ(with_plain_line_breaks(contents_of(err_path)), no_device);
  DeleteFileA(out_path.c_str());
  DeleteFileA(err_path.c_str());
}

TEST(UpdaterExe, WithoutTheBootloaderPrintsTheBannerAndTheNoDeviceMessageThenHolds) {
  expect_no_device_run(updater_path());
}

// Run with Wine asked to take native DLLs first, as Windows would.
TEST(UpdaterExe, NeverLoadsAHidDllLyingBesideIt) {
  const std::string mark = path_beside_tests("planted/planted-hid-loaded");
  DeleteFileA(mark.c_str());
  expect_no_device_run(path_beside_tests("planted/korvane_updater.exe"));
  EXPECT_EQ(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES) << "the updater loaded the planted hid.dll";

  // The mark does show when the planted library is loaded.
  const HMODULE planted = LoadLibraryA(path_beside_tests("planted/hid.dll").c_str());
  ASSERT_NE(planted, nullptr);
  FreeLibrary(planted);
  EXPECT_NE(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileA(mark.c_str());
}

// Run with hid.dll disabled: a system without the HID class library.
TEST(UpdaterExe, WithoutTheSystemHidLibraryFindsNoDevice) { expect_no_device_run(updater_path()); }

std::string version_string(const std::vector<char> &info, const char *name) {
  const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
  char *text = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&text), &length) || length == 0) return "";
  return text;
}

TEST(UpdaterExe, CarriesVersion932AndAsksForNoElevation) {
  const std::string path = updater_path();
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, (9u << 16) | 32u);
  EXPECT_EQ(fixed->dwProductVersionMS, (9u << 16) | 32u);
  EXPECT_EQ(version_string(info, "ProductName"), "Korvane Updater");
  EXPECT_EQ(version_string(info, "FileVersion"), "9.32");
  EXPECT_EQ(version_string(info, "ProductVersion"), "9.32");

  const HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  const HRSRC resource = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(resource, nullptr) << "no application manifest";
  const char *manifest = static_cast<const char *>(LockResource(LoadResource(image, resource)));
  const std::string text(manifest, SizeofResource(image, resource));
  FreeLibrary(image);
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos) << text;
  EXPECT_EQ(text.find("requireAdministrator"), std::string::npos);
}

} // namespace
