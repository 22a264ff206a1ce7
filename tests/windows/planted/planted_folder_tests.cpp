// Each of the updater's two defences against a DLL lying in its folder, on
// its own. This program lies in a folder that holds a marker hid.dll and runs
// with that folder as its current folder, with Wine asked to look for hid.dll
// as Windows does (native first). Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include "driver/library_search.h"
#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "test_files.h"

namespace {

std::string module_path(HMODULE module) {
  char path[MAX_PATH];
  return std::string(path, GetModuleFileNameA(module, path, MAX_PATH));
}

std::string system_hid_path() {
  char path[MAX_PATH];
  return std::string(path, GetSystemDirectoryA(path, MAX_PATH)) + "\\hid.dll";
}

class PlantedFolder : public testing::Test {
protected:
  void SetUp() override {
    char current[MAX_PATH];
    const std::string folder = std::string(current, GetCurrentDirectoryA(MAX_PATH, current)) + "\\";
    ASSERT_STRCASEEQ(folder.c_str(), program_folder().c_str()) << "not run in the program's own folder";
    DeleteFileA(mark.c_str());
  }

  const std::string mark = program_folder() + "hid.dll.loaded";
};

// The search order that the other tests meet reaches the marker.
TEST_F(PlantedFolder, APlainLoadTakesTheMarker) {
  ASSERT_NE(LoadLibraryA("hid.dll"), nullptr);
  EXPECT_TRUE(file_exists(mark));
}

TEST_F(PlantedFolder, TheRestrictedSearchTakesNothingFromTheProgramOrCurrentFolder) {
  restrict_library_search();
  const HMODULE hid = LoadLibraryA("hid.dll");
  EXPECT_FALSE(file_exists(mark)) << "the marker was loaded";
  ASSERT_NE(hid, nullptr);
  EXPECT_STRCASEEQ(module_path(hid).c_str(), system_hid_path().c_str());
}

// Without the restricted search: the device search alone must not take it.
TEST_F(PlantedFolder, TheDeviceSearchTakesTheSystemHidLibrary) {
  EXPECT_EQ(hid_find_device(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  EXPECT_FALSE(file_exists(mark)) << "the marker was loaded";
  const HMODULE hid = GetModuleHandleA("hid.dll");
  ASSERT_NE(hid, nullptr);
  EXPECT_STRCASEEQ(module_path(hid).c_str(), system_hid_path().c_str());
}

} // namespace
