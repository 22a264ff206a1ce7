// The private view of the system in which the simulated devices replace the
// real ones: a mount namespace of the simulator's own (in a user namespace of
// its own too when not run as root), a /sys/class/hidraw listing only the
// simulated devices and a /dev holding their nodes and the few ordinary nodes
// a program needs. Every mount is made inside that namespace, so the rest of
// the system never sees one and nothing is left behind when it ends.
#pragma once

#include <string>
#include <vector>

#include "sim_options.h"

// Moves the calling process, which must not have started threads yet, into
// the private namespaces. False, with error set, when the system refuses.
bool enter_private_namespace(std::string &error);

// Builds /sys/class/hidraw and /dev for devices and creates an empty file
// at each node path (/dev/hidraw0, ...) for the device to be mounted on.
// False, with error set, when something cannot be made.
bool build_device_views(const std::vector<SimulatedDevice> &devices, std::vector<std::string> &node_paths,
                        std::string &error);

// Makes an empty root in a new folder: a tmpfs holding the system's /dev,
// /sys and /proc (as this namespace sees them) and each of the files at its
// own path, and nothing else. False, with error set, when something cannot
// be made; remove_empty_root takes the folder away again.
bool build_empty_root(const std::vector<std::string> &files, std::string &root, std::string &error);
void remove_empty_root(const std::string &root);

// Opens /dev/fuse; must come before build_device_views hides the real /dev.
int open_fuse_device(std::string &error);
