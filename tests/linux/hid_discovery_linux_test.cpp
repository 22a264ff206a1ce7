// The hidraw device search, run against temporary class and node folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "hid/hid_discovery_linux.h"
#include "hid/hid_report_descriptor.h"
#include "report_check.h"

namespace fs = std::filesystem;

namespace {

const std::string BOOTLOADER_UEVENT = "DRIVER=hid-generic\nHID_ID=0003:000016C0:00000478\nHID_NAME=boot\n";

// A class folder (hidrawN/device/uevent) and a node folder (hidrawN) in a
// fresh temporary folder; records which nodes the search opens.
class HidrawTree : public ::testing::Test {
protected:
  fs::path root, class_dir, node_dir;
  int watch = -1;

  void SetUp() override {
    char name[] = "/tmp/korvane-hidraw-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
    class_dir = root / "class";
    node_dir = root / "dev";
    fs::create_directories(class_dir);
    fs::create_directories(node_dir);
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, node_dir.c_str(), IN_OPEN), 0);
  }
  void TearDown() override {
    close(watch);
    fs::remove_all(root);
  }

  // An interface with the given identity and, unless told otherwise, the
  // bootloader's report descriptor.
  void add_interface(const std::string &name, const std::string &uevent, bool with_node = true,
                     const std::vector<std::uint8_t> &descriptor = bootloader_report_descriptor()) {
    fs::create_directories(class_dir / name / "device");
    std::ofstream(class_dir / name / "device" / "uevent") << uevent;
    std::ofstream(class_dir / name / "device" / "report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char *>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
    if (with_node) std::ofstream(node_dir / name) << name;
  }

  int find(std::int32_t vendor = BOOTLOADER_VENDOR_ID, std::int32_t product = BOOTLOADER_PRODUCT_ID) {
    opened_nodes(); // forget the test's own opens
    return hid_find_device_in(class_dir.c_str(), node_dir.c_str(), vendor, product, BOOTLOADER_OUTPUT_REPORT_LENGTH);
  }

  // Names of the nodes opened since the last call.
  std::set<std::string> opened_nodes() {
    std::set<std::string> names;
    alignas(inotify_event) char events[8192];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
      for (char *p = events; p < events + got;) {
        const auto *event = reinterpret_cast<inotify_event *>(p);
        if (event->len > 0) names.insert(event->name);
        p += sizeof(inotify_event) + event->len;
      }
    }
    return names;
  }

  // The name of the node a descriptor refers to: each node holds its name.
  static std::string node_of(int fd) {
    char name[64] = {};
    return pread(fd, name, sizeof name - 1, 0) > 0 ? name : "";
  }
};

TEST_F(HidrawTree, FindsNothingWithoutAMatchAndOpensNoOtherDevice) {
  EXPECT_EQ(find(), NO_DEVICE);
  EXPECT_EQ(hid_find_device_in((root / "missing").c_str(), node_dir.c_str(), 0x16C0, 0x0478, 1089), NO_DEVICE);

  add_interface("hidraw0", "HID_ID=0003:000016C0:00000479\n"); // same vendor, other product
  add_interface("hidraw1", "HID_ID=0003:000016C1:00000478\n"); // other vendor
  add_interface("hidraw2", "HID_ID=0003:000116C0:00000478\n"); // vendor only equal in its low 16 bits
  EXPECT_EQ(find(), NO_DEVICE);
  EXPECT_TRUE(opened_nodes().empty());
}

TEST_F(HidrawTree, TakesTheLowestNumberedMatchAndOpensOnlyIt) {
  add_interface("hidraw10", BOOTLOADER_UEVENT);
  add_interface("hidraw9", BOOTLOADER_UEVENT);
  add_interface("hidraw2", "HID_ID=0005:0000046D:0000B33A\n");
  add_interface("hidraw", BOOTLOADER_UEVENT); // not hidrawN: never looked at
  add_interface("hidraw01", BOOTLOADER_UEVENT);
  add_interface("hidraw3x", BOOTLOADER_UEVENT);

  const int device = find();
  ASSERT_NE(device, NO_DEVICE);
  EXPECT_EQ(node_of(device), "hidraw9");
  EXPECT_EQ(opened_nodes(), std::set<std::string>{"hidraw9"});
  EXPECT_EQ(fcntl(device, F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(fcntl(device, F_GETFD) & FD_CLOEXEC);
  hid_close_device(device);
  EXPECT_EQ(fcntl(device, F_GETFD), -1);
}

TEST_F(HidrawTree, PassesOverInterfacesWithoutAReadableIdentityOrNode) {
  const char *malformed[] = {
      "",
      "HID_NAME=no id\n",
      "HID_ID=0003:000016C0\n",
      "HID_ID=0003:000016C0:00000478:1\n",
      "HID_ID=0003:000016C0:0000047g\n",
      "HID_ID=0003:000016C0:000004780\n", // product 0x4780
      "HID_ID=0003:000016C0:000000478\n", // nine digits
      "HID_ID=0003::00000478\n",
      "HID_ID=0003:000016C0:00000478", // no line break: still whole, and a match
  };
  int number = 0;
  for (const char *uevent : malformed)
    add_interface("hidraw" + std::to_string(number++), uevent);
  EXPECT_EQ(node_of(find()), "hidraw8");

  fs::remove(class_dir / "hidraw8" / "device" / "uevent");
  // An identity cut short by the uevent size limit does not count.
  add_interface("hidraw20", std::string(4090, 'X') + "\nHID_ID=0003:000016C0:00000478\n");
  add_interface("hidraw21", BOOTLOADER_UEVENT, false); // no node
  add_interface("hidraw22", BOOTLOADER_UEVENT, false);
  fs::create_directory(node_dir / "hidraw22"); // a node that cannot be opened for writing
  add_interface("hidraw23", "HID_ID=3:16c0:478\n");
  EXPECT_EQ(node_of(find()), "hidraw23");
  EXPECT_EQ(opened_nodes(), std::set<std::string>{"hidraw23"});
}

// Another board in a bootloader of its own can carry the same IDs: only the
// output report tells them apart, and a board that would take part of each
// block is not even opened.
TEST_F(HidrawTree, PassesOverTheBootloadersIDsWithAnotherOutputReport) {
  std::vector<std::uint8_t> numbered = bootloader_report_descriptor();
  numbered.insert(numbered.begin() + 7, {0x85, 0x01}); // Report ID (1) inside the collection
  // The bootloader's own, but longer than any descriptor the kernel gives.
  std::vector<std::uint8_t> overlong = bootloader_report_descriptor();
  overlong.resize(HID_REPORT_DESCRIPTOR_SIZE_MAX + 1, 0x08); // Usage items without data
  const std::vector<std::uint8_t> passed_over[] = {
      bootloader_report_descriptor(64),
      bootloader_report_descriptor(256),
      bootloader_report_descriptor(1089),
      bootloader_report_descriptor(0),
      numbered,
      {}, // its file is removed below: no descriptor at all
      overlong,
  };
  int number = 0;
  for (const auto &descriptor : passed_over)
    add_interface("hidraw" + std::to_string(number++), BOOTLOADER_UEVENT, true, descriptor);
  fs::remove(class_dir / "hidraw5" / "device" / "report_descriptor");
  EXPECT_EQ(find(), NO_DEVICE);
  EXPECT_TRUE(opened_nodes().empty());

  add_interface("hidraw" + std::to_string(number), BOOTLOADER_UEVENT);
  EXPECT_EQ(node_of(find()), "hidraw" + std::to_string(number));
  EXPECT_EQ(opened_nodes(), std::set<std::string>{"hidraw" + std::to_string(number)});
}

// The descriptor reader: each item kind that bears on the size, and each
// kind of descriptor it must refuse rather than guess at.
TEST(OutputReportLength, CountsEveryOutputItemAndRefusesWhatItDoesNotUnderstand) {
  using bytes = std::vector<std::uint8_t>;
  const auto length = [](const bytes &d) { return hid_output_report_length(d.data(), d.size()); };
  EXPECT_EQ(length(bootloader_report_descriptor()), 1089);
  EXPECT_EQ(length(bootloader_report_descriptor(64)), 65);
  EXPECT_EQ(length({}), 0);
  // Input and Feature items, and Output items of size 0, add nothing.
  EXPECT_EQ(length({0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xB1, 0x02, 0x75, 0x00, 0x91, 0x02}), 0);
  // Several Output items make one report; bits are rounded up to bytes.
  EXPECT_EQ(length({0x75, 0x01, 0x95, 0x05, 0x91, 0x02, 0x95, 0x01, 0x91, 0x01, 0x75, 0x08, 0x91, 0x02}), 3);
  // Four-byte data, and a global kept by Push and given back by Pop.
  EXPECT_EQ(length({0x77, 0x08, 0, 0, 0, 0x95, 0x02, 0xA4, 0x75, 0x01, 0x91, 0x02, 0xB4, 0x91, 0x02}), 4);
  // Locals and other globals of any size are stepped over.
  EXPECT_EQ(length({0x0B, 1, 2, 3, 4, 0x27, 0xFF, 0xFF, 0, 0, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}), 2);

  const bytes refused[] = {
      {0x85, 0x01},                                     // report IDs
      {0x75, 0x08, 0x95, 0x01, 0x85, 0x00},             // even report ID 0, which no device may declare
      {0xFE, 0x00, 0x00},                               // a long item
      {0x75},                                           // data cut short: one byte announced
      {0x96, 0x01},                                     // two bytes announced, one there
      {0xA1, 0x01},                                     // a collection left open
      {0xC0},                                           // one closed that was never opened
      {0xB4},                                           // Pop without Push
      {0xA4, 0xA4, 0xA4, 0xA4, 0xA4},                   // Push beyond the kernel's depth
      {0x0C},                                           // reserved item type
      {0xD0},                                           // reserved main item
      {0xC4},                                           // reserved global item
      {0x76, 0x01, 0x01},                               // Report Size 257 bits
      {0x96, 0x01, 0x30},                               // Report Count 12289
      {0x76, 0x00, 0x01, 0x96, 0x00, 0x30, 0x91, 0x02}, // more bits than any report holds
  };
  for (std::size_t i = 0; i < std::size(refused); ++i)
    EXPECT_EQ(length(refused[i]), -1) << "case " << i;
}

} // namespace
