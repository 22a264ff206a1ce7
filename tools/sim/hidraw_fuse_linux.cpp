#define FUSE_USE_VERSION 35
#include "hidraw_fuse_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fuse_lowlevel.h>
#include <linux/hidraw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A write the device has not answered yet: delayed (answered at due) or
// stalled (answered only when the writer gives up or the device goes).
struct OpenWrite {
  fuse_req_t request;
  std::size_t size;
  bool stalled;
  Clock::time_point due;
  bool answered = false;
};

struct Node {
  HidrawNodes::Impl *owner = nullptr;
  std::size_t index = 0;
  SimulatedDevice device;
  fuse_session *session = nullptr;
  fuse_buf buffer{};
  bool served = true;
  bool mounted = false;
};

} // namespace

struct HidrawNodes::Impl {
  ReportHandler handler;
  std::vector<std::unique_ptr<Node>> nodes;
  std::vector<NodeStats> stats;
  std::vector<std::unique_ptr<OpenWrite>> open_writes;

  void forget_answered() {
    open_writes.erase(std::remove_if(open_writes.begin(), open_writes.end(),
                                     [](const std::unique_ptr<OpenWrite> &w) { return w->answered; }),
                      open_writes.end());
  }
};

namespace {

Node &node_of(fuse_req_t request) { return *static_cast<Node *>(fuse_req_userdata(request)); }

// The node is the mount's root and only file, owned by the simulated root,
// with the device's permissions.
struct stat node_attributes(const Node &node) {
  struct stat attributes {};
  attributes.st_ino = FUSE_ROOT_ID;
  attributes.st_mode = S_IFREG | node.device.node_mode;
  attributes.st_nlink = 1;
  attributes.st_uid = getuid();
  attributes.st_gid = getgid();
  return attributes;
}

void on_getattr(fuse_req_t request, fuse_ino_t, fuse_file_info *) {
  const struct stat attributes = node_attributes(node_of(request));
  fuse_reply_attr(request, &attributes, 0);
}

// Truncation (a shell's "> node") changes nothing on a device.
void on_setattr(fuse_req_t request, fuse_ino_t, struct stat *, int, fuse_file_info *) {
  const struct stat attributes = node_attributes(node_of(request));
  fuse_reply_attr(request, &attributes, 0);
}

void on_lookup(fuse_req_t request, fuse_ino_t, const char *) { fuse_reply_err(request, ENOENT); }

void on_open(fuse_req_t request, fuse_ino_t, fuse_file_info *info) {
  Node &node = node_of(request);
  ++node.owner->stats[node.index].opens;
  // Direct I/O: each write() becomes exactly one request, bypassing the page
  // cache, as a write to a character device would.
  info->direct_io = 1;
  info->nonseekable = 1;
  fuse_reply_open(request, info);
}

// The bootloader sends no input reports.
void on_read(fuse_req_t request, fuse_ino_t, std::size_t, off_t, fuse_file_info *) { fuse_reply_err(request, EAGAIN); }

void on_interrupt(fuse_req_t, void *data) {
  // The writer was signalled (its process is ending, most likely): a stalled
  // or delayed write ends the way a blocked device write does then.
  OpenWrite *write = static_cast<OpenWrite *>(data);
  if (write->answered) return;
  write->answered = true;
  fuse_reply_err(write->request, EINTR);
}

void on_write(fuse_req_t request, fuse_ino_t, const char *data, std::size_t size, off_t, fuse_file_info *) {
  Node &node = node_of(request);
  HidrawNodes::Impl &owner = *node.owner;
  ++owner.stats[node.index].reports;
  const WriteAnswer answer = owner.handler(node.index, reinterpret_cast<const std::uint8_t *>(data), size);
  switch (answer.fault) {
  case ReportFault::fail:
    fuse_reply_err(request, answer.error);
    return;
  case ReportFault::zero:
    fuse_reply_write(request, 0);
    return;
  case ReportFault::none:
    if (answer.delay.count() == 0) {
      fuse_reply_write(request, size);
      return;
    }
    break;
  case ReportFault::stall:
    break;
  }
  owner.open_writes.push_back(std::make_unique<OpenWrite>(
      OpenWrite{request, size, answer.fault == ReportFault::stall, Clock::now() + answer.delay}));
  // May call on_interrupt at once when the writer was signalled already.
  fuse_req_interrupt_func(request, on_interrupt, owner.open_writes.back().get());
}

void on_flush(fuse_req_t request, fuse_ino_t, fuse_file_info *) { fuse_reply_err(request, 0); }
void on_release(fuse_req_t request, fuse_ino_t, fuse_file_info *) { fuse_reply_err(request, 0); }

// The raw-device information call, answered as a USB HID device would.
void on_ioctl(fuse_req_t request, fuse_ino_t, unsigned int command, void *, fuse_file_info *, unsigned, const void *,
              std::size_t, std::size_t out_size) {
  const Node &node = node_of(request);
  if (command == HIDIOCGRAWINFO && out_size >= sizeof(hidraw_devinfo)) {
    hidraw_devinfo info{};
    info.bustype = 3; // USB
    info.vendor = static_cast<__s16>(node.device.vendor_id);
    info.product = static_cast<__s16>(node.device.product_id);
    fuse_reply_ioctl(request, 0, &info, sizeof info);
    return;
  }
  fuse_reply_err(request, ENOTTY);
}

fuse_lowlevel_ops node_operations() {
  fuse_lowlevel_ops operations{};
  operations.lookup = on_lookup;
  operations.getattr = on_getattr;
  operations.setattr = on_setattr;
  operations.open = on_open;
  operations.read = on_read;
  operations.write = on_write;
  operations.flush = on_flush;
  operations.release = on_release;
  operations.ioctl = on_ioctl;
  return operations;
}

} // namespace

HidrawNodes::HidrawNodes(ReportHandler handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
}

HidrawNodes::~HidrawNodes() { shut_down(); }

const std::vector<NodeStats> &HidrawNodes::stats() const { return impl_->stats; }

bool HidrawNodes::add(const std::string &path, int fuse_fd, const SimulatedDevice &device, std::string &error) {
  auto node = std::make_unique<Node>();
  node->owner = impl_.get();
  node->index = impl_->nodes.size();
  node->device = device;

  // The mount is made here rather than by libfuse, so the device descriptor
  // can be opened before /dev was covered; libfuse is then handed it through
  // the /dev/fd/N form of mount point.
  const std::string mount_options = "fd=" + std::to_string(fuse_fd) + ",rootmode=100000" +
                                    ",user_id=" + std::to_string(getuid()) + ",group_id=" + std::to_string(getgid()) +
                                    ",default_permissions,allow_other";
  if (mount("korvane_sim", path.c_str(), "fuse.korvane_sim", MS_NOSUID | MS_NODEV, mount_options.c_str()) != 0) {
    const int refusal = errno; // left for the caller: the machine may not allow FUSE mounts
    error = "cannot mount the simulated device on " + path + ": " + std::strerror(refusal);
    close(fuse_fd);
    errno = refusal;
    return false;
  }
  node->mounted = true;

  const char *arguments[] = {"korvane_sim"};
  fuse_args args = FUSE_ARGS_INIT(1, const_cast<char **>(arguments));
  const fuse_lowlevel_ops operations = node_operations();
  node->session = fuse_session_new(&args, &operations, sizeof operations, node.get());
  fuse_opt_free_args(&args);
  const std::string descriptor_path = "/dev/fd/" + std::to_string(fuse_fd);
  if (node->session == nullptr || fuse_session_mount(node->session, descriptor_path.c_str()) != 0) {
    error = "cannot start the FUSE session of " + path;
    if (node->session != nullptr) fuse_session_destroy(node->session);
    umount2(path.c_str(), MNT_DETACH);
    close(fuse_fd);
    errno = 0; // the mount was allowed: this is no refusal of the machine's
    return false;
  }
  impl_->stats.push_back(NodeStats{path, 0, 0});
  impl_->nodes.push_back(std::move(node));
  return true;
}

std::vector<int> HidrawNodes::request_fds() const {
  std::vector<int> fds;
  for (const auto &node : impl_->nodes) {
    if (node->served) fds.push_back(fuse_session_fd(node->session));
  }
  return fds;
}

void HidrawNodes::serve(int fd) {
  for (const auto &node : impl_->nodes) {
    if (!node->served || fuse_session_fd(node->session) != fd) continue;
    const int received = fuse_session_receive_buf(node->session, &node->buffer);
    if (received == -EINTR || received == -EAGAIN) return;
    if (received <= 0 || fuse_session_exited(node->session)) {
      node->served = false; // unmounted or aborted
      return;
    }
    fuse_session_process_buf(node->session, &node->buffer);
  }
  impl_->forget_answered();
}

int HidrawNodes::next_due_ms() const {
  int soonest = -1;
  const Clock::time_point now = Clock::now();
  for (const auto &write : impl_->open_writes) {
    if (write->stalled || write->answered) continue;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(write->due - now).count();
    const int wait = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 60000)));
    if (soonest < 0 || wait < soonest) soonest = wait;
  }
  return soonest;
}

void HidrawNodes::answer_due() {
  const Clock::time_point now = Clock::now();
  for (const auto &write : impl_->open_writes) {
    if (write->stalled || write->answered || write->due > now) continue;
    write->answered = true;
    fuse_reply_write(write->request, write->size);
  }
  impl_->forget_answered();
}

void HidrawNodes::shut_down() {
  for (const auto &write : impl_->open_writes) {
    if (!write->answered) fuse_reply_err(write->request, ENODEV);
    write->answered = true;
  }
  impl_->open_writes.clear();
  for (const auto &node : impl_->nodes) {
    // Detached, so a process still holding the node open cannot keep the
    // simulator from ending; its next call fails once the session is gone.
    if (node->mounted) umount2(impl_->stats[node->index].path.c_str(), MNT_DETACH);
    node->mounted = false;
    if (node->session != nullptr) fuse_session_destroy(node->session);
    node->session = nullptr;
    node->served = false;
    std::free(node->buffer.mem);
    node->buffer.mem = nullptr;
  }
}
