// The real korvane_updater.exe, started as the user would start it, on a
// system without the bootloader; and what the exe tells Windows about itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

#include "planted_dlls.h"
#include "test_files.h"
#include "updater_process.h"
#include "windows_test_support.h"

namespace {

std::string updater_path() { return program_folder() + KORVANE_UPDATER_RELATIVE_PATH; }

// Starts the exe as a user would, on a system without the bootloader, and
// checks that it prints the banner and the no-device message and then holds.
// The modules it loaded, as Wine traced them.
std::vector<std::string> expect_no_device_run(const std::string &exe, const std::string &current_folder = "") {
  const std::string banner = "Korvane_Updater with firmware version 9.32\n\n";
  const std::string no_device =
      "No Korvane device found!\nPlease connect Korvane using USB Micro cable\n\nOnly in case of erased firmware, "
      "please insert a pin into the backup\nfirmware update switch on the bottom side of the Brenlow device\n\n"
      "Please close this window and try again\n\n";
  UpdaterProcess updater({exe, current_folder, {}});
  EXPECT_TRUE(updater.started()) << exe << ": error " << GetLastError();
  // The message shows up within a generous bound; the hold then keeps the
  // process alive well beyond it.
  updater.wait_for_output(
      [&](const std::string &, const std::string &err) {
        return with_plain_line_breaks(err).size() >= no_device.size();
      },
      30000);
  Sleep(3000);
  EXPECT_TRUE(updater.running()) << "the process ended instead of holding";
  updater.kill();
  EXPECT_EQ(with_plain_line_breaks(updater.out().text), banner);
  EXPECT_EQ(with_plain_line_breaks(updater.err().text), no_device);
  return updater.loaded_modules();
}

TEST(UpdaterExe, WithoutTheBootloaderPrintsTheBannerAndTheNoDeviceMessageThenHolds) {
  expect_no_device_run(updater_path());
}

// Run with Wine asked to look for the names commonly planted against Windows
// programs native first, as Windows looks for them (WINEDLLOVERRIDES, set by
// ctest): a marker DLL under each name the exe loads and each of those lies
// beside a copy of the exe and in its current folder; none may be loaded.
TEST(UpdaterExe, WithoutTheBootloaderLoadsNoDllFromItsFolder) {
  // Every module but the exe itself comes from the system folder.
  const std::vector<std::string> loaded = expect_no_device_run(updater_path());
  EXPECT_EQ(loaded_outside_the_system_folder(loaded), std::vector<std::string>{"korvane_updater.exe"});
  const PlantingPlan plan = plan_planting(loaded);
  for (const std::string &left_out : plan.left_out)
    std::printf("left out %s\n", left_out.c_str());
  EXPECT_EQ(plan.not_native_first, std::vector<std::string>{}) << "add them to the planted names (CMakeLists.txt)";

  const std::string folder = program_folder() + "planted-beside-the-exe\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileA(updater_path().c_str(), (folder + "korvane_updater.exe").c_str(), FALSE));
  ASSERT_TRUE(plant_marker(program_folder() + "planted\\hid.dll", folder, plan.names));
  const std::vector<std::string> planted_run = expect_no_device_run(folder + "korvane_updater.exe", folder);
  EXPECT_EQ(planted_copies_loaded(folder, plan.names), std::vector<std::string>{});
  EXPECT_EQ(loaded_outside_the_system_folder(planted_run), std::vector<std::string>{"korvane_updater.exe"});

  // A planted copy does leave its mark when it is loaded.
  ASSERT_NE(LoadLibraryA((folder + plan.names.front() + ".dll").c_str()), nullptr);
  EXPECT_EQ(planted_copies_loaded(folder, plan.names), std::vector<std::string>{plan.names.front()});
}

// Run with hid.dll disabled: a system without the HID class library.
TEST(UpdaterExe, WithoutTheSystemHidLibraryFindsNoDevice) { expect_no_device_run(updater_path()); }

} // namespace

// The stack protector's guard and failure routine, linked into this program
// as into the exe.
extern "C" std::uintptr_t __stack_chk_guard;
extern "C" [[noreturn]] void __stack_chk_fail();

namespace {

TEST(StackGuard, IsSeededAndAFailedCheckEndsTheProcessAtOnce) {
  EXPECT_NE(__stack_chk_guard, 0u);
  EXPECT_EXIT(__stack_chk_fail(), testing::ExitedWithCode(static_cast<int>(STATUS_STACK_BUFFER_OVERRUN)), "");
}

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
