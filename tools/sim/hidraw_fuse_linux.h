// Simulated hidraw nodes. Each node is a one-file FUSE mount opened with
// direct I/O, so every write() a program makes reaches the simulator whole,
// as one request of its exact size, and completes only when and how the
// simulator answers: with a byte count, with an errno, or never.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim_options.h"

// How the device answers one write.
struct WriteAnswer {
  ReportFault fault = ReportFault::none;
  int error = 0; // the errno of ReportFault::fail
  std::chrono::milliseconds delay{0};
};

// Called for every write, in arrival order, with the node's index.
using ReportHandler = std::function<WriteAnswer(std::size_t node, const std::uint8_t *report, std::size_t size)>;

struct NodeStats {
  std::string path;
  unsigned long opens = 0;
  unsigned long reports = 0;
};

class HidrawNodes {
public:
  explicit HidrawNodes(ReportHandler handler);
  ~HidrawNodes();
  HidrawNodes(const HidrawNodes &) = delete;
  HidrawNodes &operator=(const HidrawNodes &) = delete;

  // Mounts a node on the (existing, regular) file at path, served through
  // fuse_fd, an open /dev/fuse descriptor that the nodes then own.
  bool add(const std::string &path, int fuse_fd, const SimulatedDevice &device, std::string &error);

  // Descriptors to poll for requests, one per node still served.
  std::vector<int> request_fds() const;
  // Serves the requests waiting on fd.
  void serve(int fd);
  // Milliseconds until the next delayed answer is due; -1 when none.
  int next_due_ms() const;
  // Sends the delayed answers that are due.
  void answer_due();
  // Answers every write still open (the device is going away), unmounts the
  // nodes and ends their FUSE sessions.
  void shut_down();

  const std::vector<NodeStats> &stats() const;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};
