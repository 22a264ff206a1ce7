// The device search and the link's open and close against Wine's own HID
// enumeration, which always holds two virtual devices of vendor 0x845E:
// product 0x0001, enumerated first, and product 0x0002, neither with an
// output report.
#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "windows_test_support.h"

namespace {

constexpr std::int32_t WINE_VENDOR_ID = 0x845E;
constexpr std::int32_t WINE_OUTPUT_REPORT_LENGTH = 0;

bool handle_is_open(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

// Taken at run time, as the updater does, so that the test program does not
// import hid.dll (some tests run it with hid.dll disabled).
HIDD_ATTRIBUTES attributes_of(HANDLE device) {
  typedef BOOLEAN(WINAPI * get_attributes_function)(HANDLE, PHIDD_ATTRIBUTES);
  const auto get_attributes = reinterpret_cast<get_attributes_function>(
      reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryA("hid.dll"), "HidD_GetAttributes")));
  HIDD_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.Size = sizeof attributes;
  EXPECT_TRUE(get_attributes != nullptr && get_attributes(device, &attributes));
  return attributes;
}

class Discovery : public testing::Test {
protected:
  void TearDown() override { bootloader_close(); }
};

TEST_F(Discovery, FindsTheFirstMatchingDeviceAndKeepsOnlyItOpen) {
  for (const std::int32_t product_id : {0x0001, 0x0002}) {
    SCOPED_TRACE(product_id);
    const DWORD handles_before = process_handle_count();

    const device_handle device = hid_find_device(WINE_VENDOR_ID, product_id, WINE_OUTPUT_REPORT_LENGTH);
    ASSERT_NE(device, NO_DEVICE);
    // Finding 0x0002 passes over the 0x0001 device: it must have been closed
    // again, as must the enumeration itself, leaving one handle more.
    EXPECT_EQ(process_handle_count(), handles_before + 1);
    const HIDD_ATTRIBUTES attributes = attributes_of(device);
    EXPECT_EQ(attributes.VendorID, WINE_VENDOR_ID);
    EXPECT_EQ(attributes.ProductID, product_id);

    hid_close_device(device);
    EXPECT_FALSE(handle_is_open(device));
    EXPECT_EQ(process_handle_count(), handles_before);
  }
}

TEST_F(Discovery, FindsNoBootloaderAndHoldsNothing) {
  const DWORD handles_before = process_handle_count();

  EXPECT_EQ(hid_find_device(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  EXPECT_FALSE(bootloader_open());
  EXPECT_EQ(current_device, NO_DEVICE);
  // Wrong vendor, right product and the reverse: both fields must match.
  EXPECT_EQ(hid_find_device(BOOTLOADER_VENDOR_ID, 0x0001, WINE_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  EXPECT_EQ(hid_find_device(WINE_VENDOR_ID, BOOTLOADER_PRODUCT_ID, WINE_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  // The right IDs with another output report, as the HID class driver
  // reads it from the device: passed over.
  for (const std::int32_t product_id : {0x0001, 0x0002})
    EXPECT_EQ(hid_find_device(WINE_VENDOR_ID, product_id, BOOTLOADER_OUTPUT_REPORT_LENGTH), NO_DEVICE);

  EXPECT_EQ(process_handle_count(), handles_before);
}

TEST_F(Discovery, OpenReleasesTheDeviceHeldBefore) {
  const HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  current_device = held;

  EXPECT_FALSE(bootloader_open());

  EXPECT_FALSE(handle_is_open(held));
  EXPECT_EQ(current_device, NO_DEVICE);
}

TEST_F(Discovery, CloseReleasesTheHeldDeviceOnce) {
  current_device = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE held = current_device;

  bootloader_close();
  EXPECT_FALSE(handle_is_open(held));
  EXPECT_EQ(current_device, NO_DEVICE);

  // A second close must not close the handle again: by now the same value may
  // name another object of the process.
  const HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bootloader_close();
  EXPECT_TRUE(handle_is_open(other));
  EXPECT_EQ(current_device, NO_DEVICE);
  CloseHandle(other);
}

} // namespace
