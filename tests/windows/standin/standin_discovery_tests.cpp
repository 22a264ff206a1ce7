// The device search's walk against the stand-in SetupAPI and HID class
// library of tools/sim/windows, which show on demand what no real system
// offers at will: interfaces whose detail size is missing or too small, whose
// detail cannot be read, whose path cannot be opened, and two bootloaders at
// once. The stand-ins log every call the search makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

#include <setupapi.h>

#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "pipe_identity.h"
#include "test_files.h"

namespace {

constexpr PipeIdentity BOOTLOADER = {0x16C0, 0x0478, 0x0100};

class StandinDiscovery : public testing::Test {
protected:
  void SetUp() override {
    // The search asks the system folder for hid.dll and is then given the
    // one already loaded, as Windows gives any library of that name once one
    // is loaded.
    ASSERT_NE(LoadLibraryA((program_folder() + KORVANE_STANDIN_HID_RELATIVE_PATH).c_str()), nullptr);
    char setupapi[MAX_PATH];
    GetModuleFileNameA(GetModuleHandleA("setupapi.dll"), setupapi, MAX_PATH);
    ASSERT_STRCASEEQ(setupapi, (program_folder() + "setupapi.dll").c_str())
        << "not the stand-in SETUPAPI: run with WINEDLLOVERRIDES=setupapi=n";
    CreateDirectoryA(folder_.c_str(), nullptr);
    SetEnvironmentVariableA("KORVANE_SIM_CALL_LOG", call_log_.c_str());
  }

  void TearDown() override {
    bootloader_close();
    for (const std::string &file : files_)
      DeleteFileA(file.c_str());
    RemoveDirectoryA(folder_.c_str());
    DeleteFileA(call_log_.c_str());
  }

  // A device whose HID attributes carry the given identity.
  std::string device(const char *name, PipeIdentity identity) {
    const std::string path = folder_ + name;
    unsigned char message[PIPE_IDENTITY_SIZE];
    encode_pipe_identity(identity, message);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, message, sizeof message, &written, nullptr);
    CloseHandle(file);
    files_.push_back(path);
    return path;
  }

  // The interfaces the next search finds, with a fresh call log.
  void lay_out(const std::vector<std::string> &interfaces, bool no_set = false) {
    std::string list;
    for (const std::string &entry : interfaces)
      list += entry + ";";
    SetEnvironmentVariableA("KORVANE_SIM_INTERFACES", list.c_str());
    SetEnvironmentVariableA("KORVANE_SIM_NO_INTERFACE_SET", no_set ? "1" : nullptr);
    DeleteFileA(call_log_.c_str());
  }

  int calls(const std::string &start) const { return count_lines_starting(lines_of_file(call_log_), start); }

  // A device the search still holds refuses to be opened without sharing.
  static bool held(const std::string &path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }

  const std::string folder_ = temporary_path("standin") + "\\";
  const std::string call_log_ = temporary_path("calls.log");
  std::vector<std::string> files_;
};

TEST_F(StandinDiscovery, PassesOverUnusableInterfacesAndHoldsOnlyTheFirstBootloader) {
  // A bootloader behind each interface that must be passed over, so that
  // taking any of them shows.
  const std::string decoy = device("decoy", BOOTLOADER);
  const std::string other_product = device("other-product", {0x16C0, 0x0001, 0x0100});
  const std::string first = device("first", BOOTLOADER);
  const std::string second = device("second", BOOTLOADER);
  const std::vector<std::string> paths = {decoy, decoy, decoy, folder_ + "absent", other_product, first, second};
  lay_out({
      decoy + "|size=0",       // 0: the size query reports no size
      decoy + "|size=3",       // 1: a size below the record's fixed part
      decoy + "|detail-fails", // 2: the detail cannot be read
      paths[3],                // 3: the path cannot be opened
      other_product,           // 4: right vendor, other product
      first,                   // 5: the bootloader
      second,                  // 6: a second bootloader
  });

  ASSERT_TRUE(bootloader_open());
  EXPECT_NE(current_device, NO_DEVICE);
  EXPECT_TRUE(held(first));
  EXPECT_FALSE(held(decoy));
  EXPECT_FALSE(held(other_product)) << "a device that did not match was left open";
  EXPECT_FALSE(held(second));

  // One set of the present interfaces of the class that the HID library
  // gave (the stand-in's own, not the system's), walked with the right
  // record size up to the first match and no further, then destroyed.
  EXPECT_EQ(calls("SetupDiGetClassDevsA"), 1);
  EXPECT_EQ(calls("SetupDiGetClassDevsA hid_class=1 enumerator=none flags=0x12"), 1) << "not the HID class";
  EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces"), 6);
  for (int index = 0; index <= 5; ++index)
    EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces index=" + std::to_string(index) + " cbSize=28"), 1) << index;
  EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces index=6"), 0)
      << "interfaces after the first match must not be looked at";
  EXPECT_EQ(calls("SetupDiGetDeviceInterfaceDetailA index=0 buffer=1"), 0)
      << "detail read into a buffer sized from no size";
  EXPECT_EQ(calls("SetupDiGetDeviceInterfaceDetailA index=1 buffer=1"), 0)
      << "detail read into a buffer smaller than the record";
  for (std::size_t index = 2; index <= 5; ++index) {
    SCOPED_TRACE(index);
    const std::size_t size = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + paths[index].size() + 1;
    EXPECT_EQ(calls("SetupDiGetDeviceInterfaceDetailA index=" + std::to_string(index) + " buffer=1"), 1);
    EXPECT_EQ(calls("SetupDiGetDeviceInterfaceDetailA index=" + std::to_string(index) +
                    " buffer=1 size=" + std::to_string(size) + " cbSize=5"),
              1);
  }
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList"), 1);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList live=1"), 1);
  EXPECT_EQ(calls("HidD_GetAttributes Size="), 2);
  EXPECT_EQ(calls("HidD_GetAttributes Size=12"), 2);

  bootloader_close();
  EXPECT_FALSE(held(first));
  EXPECT_EQ(current_device, NO_DEVICE);
}

TEST_F(StandinDiscovery, WithoutABootloaderFindsNothingAndReleasesEverything) {
  const std::string other_vendor = device("other-vendor", {0x16C1, 0x0478, 0x0100});
  const std::string other_product = device("other-product", {0x16C0, 0x0477, 0x0100});

  lay_out({other_vendor, other_product});
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(current_device, NO_DEVICE);
  EXPECT_FALSE(held(other_vendor));
  EXPECT_FALSE(held(other_product));
  EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces index=2"), 1) << "the walk ends where the enumeration does";
  EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces index=3"), 0);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList live=1"), 1);

  lay_out({});
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList live=1"), 1);

  // No set at all: nothing to walk and nothing to destroy.
  lay_out({other_vendor, other_product}, true);
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(calls("SetupDiGetClassDevsA"), 1);
  EXPECT_EQ(calls("SetupDiEnumDeviceInterfaces"), 0);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList"), 0);
}

} // namespace
