#include "support/recording_link.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdio_ext.h>
#include <unistd.h>

#include "console/console.h"
#include "driver/update_run.h"
#include "hid/bootloader_link.h"

LinkScript link_script;
std::vector<LinkEvent> link_events;

namespace {

int sends = 0;
std::string dump_path;

// Events go to the parent through a file written when the child exits, on
// success and failure alike (fail_and_hold ends the process with exit).
void dump_events() {
  std::ofstream out(dump_path);
  for (const LinkEvent &event : link_events) {
    out << event.kind << ' ' << event.milliseconds << ' ' << event.unflushed_stdout << ' ' << event.timeout_seconds
        << ' ' << event.report.size();
    for (std::uint8_t byte : event.report)
      out << ' ' << unsigned{byte};
    out << '\n';
  }
}

std::vector<LinkEvent> load_events(const std::string &path) {
  std::vector<LinkEvent> events;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int kind = 0;
    std::size_t size = 0;
    LinkEvent event(LinkEvent::OPEN);
    fields >> kind >> event.milliseconds >> event.unflushed_stdout >> event.timeout_seconds >> size;
    event.kind = static_cast<LinkEvent::Kind>(kind);
    for (std::size_t i = 0; i < size; ++i) {
      unsigned byte = 0;
      fields >> byte;
      event.report.push_back(static_cast<std::uint8_t>(byte));
    }
    events.push_back(std::move(event));
  }
  return events;
}

void record(LinkEvent event) {
  event.unflushed_stdout = __fpending(stdout);
  link_events.push_back(std::move(event));
}

} // namespace

bool bootloader_open() {
  record(LinkEvent(LinkEvent::OPEN));
  return link_script.device_present;
}

bool bootloader_send(const unsigned char *report, std::uint32_t size, double timeout_seconds) {
  LinkEvent event(LinkEvent::SEND);
  event.report.assign(report, report + size);
  event.timeout_seconds = timeout_seconds;
  record(std::move(event));
  if (++sends == link_script.fail_at) {
    if (link_script.print_reason) link_script.print_reason();
    return false;
  }
  return true;
}

// The recorded link has no platform to ask why.
void bootloader_explain_absence() {}

void bootloader_close() { record(LinkEvent(LinkEvent::CLOSE)); }

void sleep_milliseconds(milliseconds ms) {
  LinkEvent event(LinkEvent::SLEEP);
  event.milliseconds = ms;
  record(std::move(event));
}

std::string RecordedRun::kinds() const {
  std::string letters;
  for (const LinkEvent &event : events) {
    if (!letters.empty()) letters += ' ';
    letters += "OSCP"[event.kind];
  }
  return letters;
}

std::vector<const LinkEvent *> RecordedRun::of_kind(LinkEvent::Kind kind) const {
  std::vector<const LinkEvent *> found;
  for (const LinkEvent &event : events) {
    if (event.kind == kind) found.push_back(&event);
  }
  return found;
}

RecordedRun run_update_recorded(const LinkScript &script) {
  const TempFile events;
  RecordedRun run;
  run.process = run_in_child([&] {
    link_script = script;
    link_events.clear();
    sends = 0;
    dump_path = events.path;
    std::atexit(dump_events);
    return run_update();
  });
  run.events = load_events(events.path);
  return run;
}
