// Finding an HID interface on Linux, through the kernel's hidraw class in
// sysfs and the hidraw device nodes.
#pragma once

#include <cstdint>

#include "common/types.h"

// Where the updater itself looks.
constexpr const char *HIDRAW_CLASS_DIR = "/sys/class/hidraw";
constexpr const char *HIDRAW_NODE_DIR = "/dev";

// The first interface, in ascending hidraw number, whose HID identity in
// class_dir/hidrawN/device/uevent has the given vendor and product ID and
// whose report descriptor, class_dir/hidrawN/device/report_descriptor,
// declares an output report of output_report_length bytes as Windows counts
// them (see hid_output_report_length), opened read-write and close-on-exec
// as node_dir/hidrawN; NO_DEVICE when none. Only matching nodes are opened;
// interfaces whose identity or descriptor cannot be read or whose node cannot
// be opened are passed over. Prints nothing.
device_handle hid_find_device_in(const char *class_dir, const char *node_dir, std::int32_t vendor_id,
                                 std::int32_t product_id, std::int32_t output_report_length);

// hid_explain_not_found over the given folders: for each interface, in
// ascending hidraw number, with the IDs and a readable descriptor, a
// paragraph on standard error when its output report has another length,
// or when its node, opened once more, cannot be opened (with the system's
// reason, and for a refused permission what to do). Nodes that open are
// closed at once; nothing is written.
void hid_explain_not_found_in(const char *class_dir, const char *node_dir, std::int32_t vendor_id,
                              std::int32_t product_id, std::int32_t output_report_length);
