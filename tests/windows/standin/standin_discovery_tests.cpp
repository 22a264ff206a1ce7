// The device search's walk against stand-in SetupAPI and HID libraries,
// which show on demand what no real system offers at will: interfaces whose
// detail size is missing or too small, whose detail cannot be read, whose
// path cannot be opened, and two bootloaders at once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

#include <setupapi.h>

#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "standin_control.h"

namespace {

// The stand-ins are loaded from the test program's own folder. The search
// asks the system folder for hid.dll and is then given the one already
// loaded, as Windows gives any library of that name once one is loaded.
template <typename Function> Function standin_export(const char *dll, const char *name) {
  const HMODULE module = LoadLibraryA(dll);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

StandinInterface interface_at(const std::string &path, DWORD reported_detail_size = DETAIL_SIZE_OF_PATH,
                              BOOL detail_fails = FALSE) {
  StandinInterface entry{};
  entry.reported_detail_size = reported_detail_size;
  entry.detail_fails = detail_fails;
  std::strncpy(entry.device_path, path.c_str(), sizeof entry.device_path - 1);
  return entry;
}

class StandinDiscovery : public testing::Test {
protected:
  void SetUp() override {
    layout_ = standin_export<standin_setupapi_layout_fn>("setupapi.dll", "standin_setupapi_layout");
    setupapi_log_ = standin_export<standin_setupapi_log_fn>("setupapi.dll", "standin_setupapi_log");
    const auto hid_reset = standin_export<standin_hid_reset_fn>("hid.dll", "standin_hid_reset");
    hid_log_ = standin_export<standin_hid_log_fn>("hid.dll", "standin_hid_log");
    ASSERT_TRUE(layout_ && setupapi_log_ && hid_reset && hid_log_)
        << "the stand-in DLLs were not loaded: run with WINEDLLOVERRIDES=setupapi,hid=n";
    hid_class_ = hid_reset();

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "korvane-standin-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder_.c_str(), nullptr);
  }

  void TearDown() override {
    bootloader_close();
    for (const std::string &file : files_)
      DeleteFileA(file.c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  // A device whose attributes carry the given IDs ("VVVV PPPP").
  std::string device(const char *name, const char *ids) {
    const std::string path = folder_ + "\\" + name;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, ids, static_cast<DWORD>(std::strlen(ids)), &written, nullptr);
    CloseHandle(file);
    files_.push_back(path);
    return path;
  }

  // A device the search still holds refuses to be opened without sharing.
  static bool held(const std::string &path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }

  standin_setupapi_layout_fn layout_ = nullptr;
  standin_setupapi_log_fn setupapi_log_ = nullptr;
  standin_hid_log_fn hid_log_ = nullptr;
  GUID hid_class_{};
  std::string folder_;
  std::vector<std::string> files_;
};

TEST_F(StandinDiscovery, PassesOverUnusableInterfacesAndHoldsOnlyTheFirstBootloader) {
  // A bootloader behind each interface that must be passed over, so that
  // taking any of them shows.
  const std::string decoy = device("decoy", "16C0 0478");
  const std::string other_product = device("other-product", "16C0 0001");
  const std::string first = device("first", "16C0 0478");
  const std::string second = device("second", "16C0 0478");
  const std::vector<StandinInterface> interfaces = {
      interface_at(decoy, 0),                         // 0: the size query reports no size
      interface_at(decoy, 3),                         // 1: a size below the record's fixed part
      interface_at(decoy, DETAIL_SIZE_OF_PATH, TRUE), // 2: the detail cannot be read
      interface_at(folder_ + "\\absent"),             // 3: the path cannot be opened
      interface_at(other_product),                    // 4: right vendor, other product
      interface_at(first),                            // 5: the bootloader
      interface_at(second),                           // 6: a second bootloader
  };
  layout_(interfaces.data(), static_cast<int>(interfaces.size()), FALSE);

  ASSERT_TRUE(bootloader_open());
  EXPECT_NE(current_device, NO_DEVICE);
  EXPECT_TRUE(held(first));
  EXPECT_FALSE(held(decoy));
  EXPECT_FALSE(held(other_product)) << "a device that did not match was left open";
  EXPECT_FALSE(held(second));

  const SetupapiLog &setup = *setupapi_log_();
  EXPECT_EQ(setup.class_devs_calls, 1);
  EXPECT_EQ(std::memcmp(&setup.class_devs_guid, &hid_class_, sizeof(GUID)), 0) << "not the HID class";
  EXPECT_EQ(setup.class_devs_flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_FALSE(setup.interface_size_wrong);
  EXPECT_EQ(setup.highest_index_asked, 5) << "interfaces after the first match must not be looked at";
  EXPECT_EQ(setup.detail_calls[0], 0) << "detail read into a buffer sized from no size";
  EXPECT_EQ(setup.detail_calls[1], 0) << "detail read into a buffer smaller than the record";
  for (int index = 2; index <= 5; ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(setup.detail_calls[index], 1);
    EXPECT_EQ(setup.detail_record_size[index], 5u);
    EXPECT_EQ(setup.detail_buffer_size[index],
              offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                  std::strlen(interfaces[static_cast<std::size_t>(index)].device_path) + 1);
  }
  EXPECT_EQ(setup.destroy_calls, 1);
  EXPECT_FALSE(setup.destroyed_other_set);
  EXPECT_EQ(hid_log_()->attribute_calls, 2);
  EXPECT_FALSE(hid_log_()->attribute_size_wrong);

  bootloader_close();
  EXPECT_FALSE(held(first));
  EXPECT_EQ(current_device, NO_DEVICE);
}

TEST_F(StandinDiscovery, WithoutABootloaderFindsNothingAndReleasesEverything) {
  const std::string other_vendor = device("other-vendor", "16C1 0478");
  const std::string other_product = device("other-product", "16C0 0477");
  const std::vector<StandinInterface> interfaces = {interface_at(other_vendor), interface_at(other_product)};

  layout_(interfaces.data(), static_cast<int>(interfaces.size()), FALSE);
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(current_device, NO_DEVICE);
  EXPECT_FALSE(held(other_vendor));
  EXPECT_FALSE(held(other_product));
  EXPECT_EQ(setupapi_log_()->highest_index_asked, 2);
  EXPECT_EQ(setupapi_log_()->destroy_calls, 1);

  layout_(nullptr, 0, FALSE);
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(setupapi_log_()->destroy_calls, 1);

  // No set at all: nothing to walk and nothing to destroy.
  layout_(interfaces.data(), static_cast<int>(interfaces.size()), TRUE);
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(setupapi_log_()->enumerations, 0);
  EXPECT_EQ(setupapi_log_()->destroy_calls, 0);
}

} // namespace
