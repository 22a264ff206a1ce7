// What the updater prints, word for word, for checking whole runs.
#pragma once

#include <string>

inline const std::string BANNER = "Korvane_Updater with firmware version 9.32\n\n";

inline const std::string NO_DEVICE_MESSAGE =
    "No Korvane device found!\nPlease connect Korvane using USB Micro cable\n\n"
    "Only in case of erased firmware, please insert a pin into the backup\n"
    "firmware update switch on the bottom side of the Brenlow device\n\n"
    "Please close this window and try again\n";

// Linux: what standard error says ahead of the no-device text when the
// bootloader's node cannot be opened for want of permission.
inline std::string permission_explanation(const std::string &node) {
  return node + " is a Korvane bootloader, but it cannot be opened: Permission denied.\n"
                "The udev rule 70-korvane-bootloader.rules lets this user open it. Install it from the\n"
                "folder of the updater's tarball, which holds it, then reconnect the device:\n"
                "    sudo install -m 644 70-korvane-bootloader.rules /etc/udev/rules.d/\n"
                "    sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw\n"
                "Or run the updater with sudo. (The Debian package installs the rule itself.)\n\n";
}

// Standard output up to and including the dots of the given number of blocks.
inline std::string output_through_dots(int dots) {
  return BANNER + "Korvane device detected\nWriting firmware" + std::string(static_cast<std::size_t>(dots), '.');
}

// Standard output of a successful update of the given number of blocks.
inline std::string success_output(int dots) {
  return output_through_dots(dots) + "\nKorvane firmware version 9.32 updated succesfully\n\n"
                                     "Please close this window and disconnect USB Micro cable to restart the Korvane\n";
}

inline const std::string WRITE_FAILURE_MESSAGE = "error writing to Korvane\n\n";

// Standard error of a placeholder build that has found a device but was not
// asked to write the placeholder (KORVANE_ALLOW_PLACEHOLDER=1).
inline const std::string PLACEHOLDER_REFUSAL = "This build of the updater carries a placeholder image, not the Korvane "
                                               "firmware 9.32, and has written nothing to the device.\n\n";
