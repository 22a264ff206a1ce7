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

  void add_interface(const std::string &name, const std::string &uevent, bool with_node = true) {
    fs::create_directories(class_dir / name / "device");
    std::ofstream(class_dir / name / "device" / "uevent") << uevent;
    if (with_node) std::ofstream(node_dir / name) << name;
  }

  int find(std::int32_t vendor = BOOTLOADER_VENDOR_ID, std::int32_t product = BOOTLOADER_PRODUCT_ID) {
    opened_nodes(); // forget the test's own opens
    return hid_find_device_in(class_dir.c_str(), node_dir.c_str(), vendor, product);
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
  EXPECT_EQ(hid_find_device_in((root / "missing").c_str(), node_dir.c_str(), 0x16C0, 0x0478), NO_DEVICE);

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

} // namespace
