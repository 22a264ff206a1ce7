#include "sandbox_linux.h"

#include "report_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

bool write_bytes(const std::string &path, const void *bytes, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, bytes, size) == static_cast<ssize_t>(size);
  return close(fd) == 0 && written;
}

bool write_text(const std::string &path, const std::string &text) {
  return write_bytes(path, text.data(), text.size());
}

bool mount_tmpfs(const char *where, std::string &error) {
  if (mount("korvane_sim", where, "tmpfs", MS_NOSUID, "mode=0755") != 0) {
    error = system_error(std::string("cannot mount a tmpfs on ") + where);
    return false;
  }
  return true;
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string hex8(unsigned value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// The sysfs entries of one hidraw device as the kernel lays them out: the
// class entry is a link to the hidraw node's folder, whose "device" link
// leads to the HID device, its uevent (HID_ID=bus:vendor:product) and its
// report descriptor.
bool add_sysfs_device(const std::string &class_dir, std::size_t index, const SimulatedDevice &device,
                      std::string &error) {
  const std::string hid_name =
      "0003:" + hex4(device.vendor_id) + ":" + hex4(device.product_id) + "." + hex4(static_cast<unsigned>(index + 1));
  const std::string node = "hidraw" + std::to_string(index);
  const std::string hid_dir = class_dir + "/.devices/" + hid_name;
  const std::string uevent = "DRIVER=hid-generic\n"
                             "HID_ID=0003:" +
                             hex8(device.vendor_id) + ":" + hex8(device.product_id) +
                             "\n"
                             "HID_NAME=Simulated HID device " +
                             hex4(device.vendor_id) + ":" + hex4(device.product_id) +
                             "\n"
                             "HID_PHYS=korvane_sim/input" +
                             std::to_string(index) +
                             "\n"
                             "HID_UNIQ=\n"
                             "MODALIAS=hid:b0003g0001v" +
                             hex8(device.vendor_id) + "p" + hex8(device.product_id) + "\n";
  const std::vector<std::uint8_t> descriptor = bootloader_report_descriptor(device.output_bytes);
  const bool built =
      (mkdir((class_dir + "/.devices").c_str(), 0755) == 0 || errno == EEXIST) && mkdir(hid_dir.c_str(), 0755) == 0 &&
      write_text(hid_dir + "/uevent", uevent) &&
      write_bytes(hid_dir + "/report_descriptor", descriptor.data(), descriptor.size()) &&
      mkdir((hid_dir + "/hidraw").c_str(), 0755) == 0 && mkdir((hid_dir + "/hidraw/" + node).c_str(), 0755) == 0 &&
      write_text(hid_dir + "/hidraw/" + node + "/uevent", "DEVNAME=" + node + "\n") &&
      symlink("../..", (hid_dir + "/hidraw/" + node + "/device").c_str()) == 0 &&
      symlink((".devices/" + hid_name + "/hidraw/" + node).c_str(), (class_dir + "/" + node).c_str()) == 0;
  if (!built) error = system_error("cannot build the sysfs entries of " + node);
  return built;
}

// A node of the real /dev (reached through host_dev, a descriptor of it
// opened before it was covered) bound into the new one. Optional nodes the
// system lacks are left out.
bool bind_host_node(int host_dev, const char *name, bool directory, bool required, std::string &error) {
  struct stat info;
  if (fstatat(host_dev, name, &info, 0) != 0) {
    if (!required) return true;
    error = system_error(std::string("cannot find /dev/") + name);
    return false;
  }
  const std::string target = std::string("/dev/") + name;
  const bool made = directory ? mkdir(target.c_str(), 0755) == 0 : write_text(target, "");
  const std::string source = "/proc/self/fd/" + std::to_string(host_dev) + "/" + name;
  if (made && mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0) return true;
  if (!required) return true;
  error = system_error("cannot bind /dev/" + std::string(name));
  return false;
}

} // namespace

bool enter_private_namespace(std::string &error) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  // Root needs only a mount namespace; anyone else (or root where that is
  // refused, as in some containers) gets a user namespace in which to be root.
  bool entered = uid == 0 && unshare(CLONE_NEWNS) == 0;
  if (!entered) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      error = system_error("cannot create a private mount namespace");
      return false;
    }
    if (!write_text("/proc/self/setgroups", "deny") ||
        !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
      error = system_error("cannot map the user into its own user namespace");
      return false;
    }
  }
  // Mounts made from here on stay in this namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error = system_error("cannot make the mounts private");
    return false;
  }
  return true;
}

bool build_empty_root(const std::vector<std::string> &files, std::string &root, std::string &error) {
  char folder[] = "/tmp/korvane_sim-root-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    error = system_error("cannot create a folder for the empty root");
    return false;
  }
  root = folder;
  if (!mount_tmpfs(folder, error)) return false;
  for (const char *system_folder : {"/dev", "/sys", "/proc"}) {
    const std::string target = root + system_folder;
    if (mkdir(target.c_str(), 0755) != 0 ||
        mount(system_folder, target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      error = system_error(std::string("cannot bind ") + system_folder + " into the empty root");
      return false;
    }
  }
  for (const std::string &file : files) {
    // The folders on the way (some may be there already), then an empty file
    // for the real one to be bound on.
    for (std::size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
      mkdir((root + file.substr(0, slash)).c_str(), 0755);
    if (!write_text(root + file, "") || mount(file.c_str(), (root + file).c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error = system_error("cannot bind " + file + " into the empty root");
      return false;
    }
  }
  return true;
}

void remove_empty_root(const std::string &root) {
  umount2(root.c_str(), MNT_DETACH);
  rmdir(root.c_str());
}

int open_fuse_device(std::string &error) {
  const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) error = system_error("cannot open /dev/fuse");
  return fd;
}

bool build_device_views(const std::vector<SimulatedDevice> &devices, std::vector<std::string> &node_paths,
                        std::string &error) {
  node_paths.clear();
  // Without the hidraw module there is no class folder to cover; then the
  // whole class list is covered and the folder made inside.
  struct stat info;
  std::string class_dir = "/sys/class/hidraw";
  if (stat(class_dir.c_str(), &info) == 0) {
    if (!mount_tmpfs(class_dir.c_str(), error)) return false;
  } else {
    if (!mount_tmpfs("/sys/class", error)) return false;
    if (mkdir(class_dir.c_str(), 0755) != 0) {
      error = system_error("cannot create " + class_dir);
      return false;
    }
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (!add_sysfs_device(class_dir, i, devices[i], error)) return false;
  }

  const int host_dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (host_dev < 0) {
    error = system_error("cannot open /dev");
    return false;
  }
  bool built = mount_tmpfs("/dev", error);
  for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"}) {
    built = built && bind_host_node(host_dev, name, false, std::strcmp(name, "null") == 0, error);
  }
  for (const char *name : {"pts", "shm", "mqueue"})
    built = built && bind_host_node(host_dev, name, true, false, error);
  close(host_dev);
  if (!built) return false;
  // Failures here only cost a convenience that the updater does not use.
  const char *const links[][2] = {{"/proc/self/fd", "/dev/fd"},
                                  {"/proc/self/fd/0", "/dev/stdin"},
                                  {"/proc/self/fd/1", "/dev/stdout"},
                                  {"/proc/self/fd/2", "/dev/stderr"},
                                  {"pts/ptmx", "/dev/ptmx"}};
  for (const auto &link : links) {
    if (symlink(link[0], link[1]) != 0) continue;
  }

  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string node = "/dev/hidraw" + std::to_string(i);
    if (!write_text(node, "")) {
      error = system_error("cannot create " + node);
      return false;
    }
    node_paths.push_back(node);
  }
  return true;
}
