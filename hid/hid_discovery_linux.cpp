// Finding and releasing the bootloader's HID interface on Linux. Every HID
// interface has a hidraw node; its identity and its report descriptor are
// read from sysfs before any node is opened, so no other device is ever
// touched.
#include "hid/hid_discovery_linux.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "console/console.h"
#include "hid/hid_device.h"
#include "hid/hid_report_descriptor.h"

namespace {

constexpr char HIDRAW_PREFIX[] = "hidraw";
constexpr std::size_t HIDRAW_PREFIX_LENGTH = sizeof HIDRAW_PREFIX - 1;
constexpr char HID_ID_KEY[] = "HID_ID=";
constexpr std::size_t HID_ID_KEY_LENGTH = sizeof HID_ID_KEY - 1;
// The kernel's hidraw minors are far below this; it keeps the numbers in a
// long and the walk below bounded.
constexpr std::size_t HIDRAW_NUMBER_DIGITS_MAX = 9;
// A uevent file is at most a page; a longer one is not the kernel's.
constexpr std::size_t UEVENT_SIZE_MAX = 4096;
constexpr long HEX_FIELD_DIGITS_MAX = 8;

// N of an entry named hidrawN, in the kernel's spelling (decimal, no leading
// zeros); -1 for any other name.
long hidraw_number(const char *name) {
  if (std::strncmp(name, HIDRAW_PREFIX, HIDRAW_PREFIX_LENGTH) != 0) return -1;
  const char *digits = name + HIDRAW_PREFIX_LENGTH;
  const std::size_t count = std::strlen(digits);
  if (count == 0 || count > HIDRAW_NUMBER_DIGITS_MAX || (digits[0] == '0' && count > 1)) return -1;
  long number = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return -1;
    number = number * 10 + (digits[i] - '0');
  }
  return number;
}

// The lowest hidraw number above previous among the folder's entries; -1
// when there is none. The kernel lists entries in no particular order, and
// the platform's enumeration order is ascending N (hidraw10 after hidraw9),
// so each step takes a fresh look rather than keeping a list.
long next_hidraw_number(DIR *class_folder, long previous) {
  long lowest = -1;
  rewinddir(class_folder);
  while (const dirent *entry = readdir(class_folder)) {
    const long number = hidraw_number(entry->d_name);
    if (number > previous && (lowest < 0 || number < lowest)) lowest = number;
  }
  return lowest;
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to 8 hex digits from *cursor up to the next ':' or the end.
bool parse_hex_field(const char **cursor, const char *end, std::uint32_t *value) {
  const char *p = *cursor;
  std::uint32_t result = 0;
  for (; p < end && *p != ':'; ++p) {
    const int digit = hex_digit_value(*p);
    if (digit < 0 || p - *cursor == HEX_FIELD_DIGITS_MAX) return false;
    result = result * 16 + static_cast<std::uint32_t>(digit);
  }
  if (p == *cursor) return false;
  *cursor = p;
  *value = result;
  return true;
}

bool skip_colon(const char **cursor, const char *end) { return *cursor < end && *(*cursor)++ == ':'; }

// Vendor and product from the first HID_ID=bus:vendor:product line of a
// uevent text. The line must be whole: a text cut short by the buffer does
// not count as ending the line.
bool parse_hid_id(const char *text, std::size_t length, bool complete, std::uint32_t *vendor, std::uint32_t *product) {
  const char *end = text + length;
  for (const char *line = text; line < end;) {
    const char *line_end = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (line_end == nullptr) {
      if (!complete) return false;
      line_end = end;
    }
    if (static_cast<std::size_t>(line_end - line) >= HID_ID_KEY_LENGTH &&
        std::memcmp(line, HID_ID_KEY, HID_ID_KEY_LENGTH) == 0) {
      const char *cursor = line + HID_ID_KEY_LENGTH;
      std::uint32_t bus = 0;
      return parse_hex_field(&cursor, line_end, &bus) && skip_colon(&cursor, line_end) &&
             parse_hex_field(&cursor, line_end, vendor) && skip_colon(&cursor, line_end) &&
             parse_hex_field(&cursor, line_end, product) && cursor == line_end;
    }
    line = line_end + 1;
  }
  return false;
}

// Reads the file hidrawN/device/name of the class folder into buffer, at
// most capacity bytes. False when it cannot be read; *complete tells whether
// the file ended within capacity.
bool read_hid_device_file(const char *class_dir, long number, const char *name, char *buffer, std::size_t capacity,
                          std::size_t *length, bool *complete) {
  char path[4096];
  const int path_length =
      std::snprintf(path, sizeof path, "%s/%s%ld/device/%s", class_dir, HIDRAW_PREFIX, number, name);
  if (path_length < 0 || static_cast<std::size_t>(path_length) >= sizeof path) return false;
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  *length = 0;
  *complete = false;
  while (*length < capacity) {
    const ssize_t got = read(file, buffer + *length, capacity - *length);
    if (got < 0) {
      close(file);
      return false;
    }
    if (got == 0) {
      *complete = true;
      break;
    }
    *length += static_cast<std::size_t>(got);
  }
  close(file);
  return true;
}

// Whether hidrawN's HID identity, as sysfs gives it, is vendor_id:product_id.
bool hidraw_identity_matches(const char *class_dir, long number, std::int32_t vendor_id, std::int32_t product_id) {
  char text[UEVENT_SIZE_MAX + 1]; // one more, to tell a full page from a longer text
  std::size_t length = 0;
  bool complete = false;
  if (!read_hid_device_file(class_dir, number, "uevent", text, sizeof text, &length, &complete)) return false;

  std::uint32_t vendor = 0;
  std::uint32_t product = 0;
  return parse_hid_id(text, length, complete, &vendor, &product) && vendor_id >= 0 && product_id >= 0 &&
         vendor == static_cast<std::uint32_t>(vendor_id) && product == static_cast<std::uint32_t>(product_id);
}

// The length of the output report that hidrawN's report descriptor, as sysfs
// gives it, declares, counted as Windows counts it (see
// hid_output_report_length); DESCRIPTOR_UNREADABLE when it cannot be read
// whole.
constexpr long DESCRIPTOR_UNREADABLE = -2;
long hidraw_output_report_length(const char *class_dir, long number) {
  char descriptor[HID_REPORT_DESCRIPTOR_SIZE_MAX + 1]; // one more, to tell an overlong one
  std::size_t length = 0;
  bool complete = false;
  if (!read_hid_device_file(class_dir, number, "report_descriptor", descriptor, sizeof descriptor, &length,
                            &complete) ||
      !complete) {
    return DESCRIPTOR_UNREADABLE;
  }
  return hid_output_report_length(reinterpret_cast<const unsigned char *>(descriptor), length);
}

// A count of bytes as the messages write it: 1,088.
void with_thousands(long count, char *text, std::size_t capacity) {
  if (count >= 1000) {
    std::snprintf(text, capacity, "%ld,%03ld", count / 1000, count % 1000);
  } else {
    std::snprintf(text, capacity, "%ld", count);
  }
}

device_handle open_hidraw_node(const char *node_dir, long number) {
  char path[4096];
  const int path_length = std::snprintf(path, sizeof path, "%s/%s%ld", node_dir, HIDRAW_PREFIX, number);
  if (path_length < 0 || static_cast<std::size_t>(path_length) >= sizeof path) return NO_DEVICE;
  // Descriptor 0 is a valid result: the updater may run with standard input
  // closed.
  const int device = open(path, O_RDWR | O_CLOEXEC);
  return device >= 0 ? device : NO_DEVICE;
}

} // namespace

device_handle hid_find_device_in(const char *class_dir, const char *node_dir, std::int32_t vendor_id,
                                 std::int32_t product_id, std::int32_t output_report_length) {
  DIR *class_folder = opendir(class_dir);
  if (class_folder == nullptr) return NO_DEVICE;
  device_handle found = NO_DEVICE;
  for (long number = next_hidraw_number(class_folder, -1); number >= 0 && found == NO_DEVICE;
       number = next_hidraw_number(class_folder, number)) {
    if (hidraw_identity_matches(class_dir, number, vendor_id, product_id) &&
        hidraw_output_report_length(class_dir, number) == output_report_length) {
      found = open_hidraw_node(node_dir, number);
    }
  }
  closedir(class_folder);
  return found;
}

void hid_explain_not_found_in(const char *class_dir, const char *node_dir, std::int32_t vendor_id,
                              std::int32_t product_id, std::int32_t output_report_length) {
  DIR *class_folder = opendir(class_dir);
  if (class_folder == nullptr) return;
  for (long number = next_hidraw_number(class_folder, -1); number >= 0;
       number = next_hidraw_number(class_folder, number)) {
    if (!hidraw_identity_matches(class_dir, number, vendor_id, product_id)) continue;
    const long length = hidraw_output_report_length(class_dir, number);
    if (length == DESCRIPTOR_UNREADABLE) continue;
    if (length != output_report_length) {
      // Sizes as the device has them, without the report ID byte Windows
      // counts.
      char expected[48];
      char held[48];
      char reason[128];
      with_thousands(output_report_length - 1L, expected, sizeof expected);
      with_thousands(length - 1, held, sizeof held);
      if (length > 0) {
        std::snprintf(reason, sizeof reason, "hold %s bytes, not %s", held, expected);
      } else {
        std::snprintf(reason, sizeof reason, "are not %s-byte block reports", expected);
      }
      log_problem("%s/%s%ld has the bootloader's USB IDs but is not a Korvane bootloader: its reports %s.\n\n",
                  node_dir, HIDRAW_PREFIX, number, reason);
      continue;
    }
    // Opened once more for the system's reason; a node that opens now is
    // closed at once, without a byte written.
    const device_handle device = open_hidraw_node(node_dir, number);
    if (device != NO_DEVICE) {
      close(device);
      continue;
    }
    const int reason = errno;
    log_problem("%s/%s%ld is a Korvane bootloader, but it cannot be opened: %s.\n", node_dir, HIDRAW_PREFIX, number,
                std::strerror(reason));
    if (reason == EACCES || reason == EPERM) {
      log_problem("The udev rule 70-korvane-bootloader.rules lets this user open it. Install it from the\n"
                  "folder of the updater's tarball, which holds it, then reconnect the device:\n"
                  "    sudo install -m 644 70-korvane-bootloader.rules /etc/udev/rules.d/\n"
                  "    sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw\n"
                  "Or run the updater with sudo. (The Debian package installs the rule itself.)\n");
    }
    log_problem("\n");
  }
  closedir(class_folder);
}

device_handle hid_find_device(std::int32_t vendor_id, std::int32_t product_id, std::int32_t output_report_length) {
  return hid_find_device_in(HIDRAW_CLASS_DIR, HIDRAW_NODE_DIR, vendor_id, product_id, output_report_length);
}

void hid_explain_not_found(std::int32_t vendor_id, std::int32_t product_id, std::int32_t output_report_length) {
  hid_explain_not_found_in(HIDRAW_CLASS_DIR, HIDRAW_NODE_DIR, vendor_id, product_id, output_report_length);
}

void hid_close_device(device_handle device) { close(device); }
