// The update run's own work: the banner, the programming pass (block choice
// over all 256 block addresses and a report built for each block sent) and
// the closing messages, with the link and the platform's sleep stubbed out
// so that neither the device nor the pauses take any time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "allocation_count.h"
#include "console/console.h"
#include "driver/update_run.h"
#include "hid/bootloader_link.h"

// The shipped layout sends blocks 0x00000 .. 0x3A000.
constexpr int SHIPPED_BLOCKS = 233;

namespace {
int reports_sent = 0;
// The link is a stub, not a device: a placeholder build may write to it.
const int placeholder_allowed = setenv("KORVANE_ALLOW_PLACEHOLDER", "1", 1);
} // namespace

// A link that takes every report at once and a sleep that returns at once.
bool bootloader_open() { return true; }
bool bootloader_send(const unsigned char *, std::uint32_t, double) {
  ++reports_sent;
  return true;
}
void bootloader_close() {}
void bootloader_explain_absence() {}
void sleep_milliseconds(milliseconds) {}

namespace {

// Times whole runs, sets the per-block figure and the allocations per run,
// and checks the block count.
// One run ahead of the timed ones lets standard output set up its buffer.
void time_runs(benchmark::State &state) {
  run_update();
  int sent_in_last_run = 0;
  const std::uint64_t allocations = allocation_count();
  for (auto _ : state) {
    reports_sent = 0;
    benchmark::DoNotOptimize(run_update());
    sent_in_last_run = reports_sent;
  }
  report_allocations(state, allocations);
  if (sent_in_last_run != SHIPPED_BLOCKS) {
    state.SkipWithError("the built-in image does not have the shipped layout");
    return;
  }
  state.counters["per_block"] = benchmark::Counter(static_cast<double>(state.iterations()) * SHIPPED_BLOCKS,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Standard output to a stream whose flushes go nowhere: the run's own work,
// without the kernel's cost of a write per flushed dot.
ssize_t discard(void *, const char *, size_t size) { return static_cast<ssize_t>(size); }

void update_run_output_discarded(benchmark::State &state) {
  std::fflush(stdout);
  FILE *const console = stdout;
  stdout = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, discard, nullptr, nullptr});
  time_runs(state);
  std::fclose(stdout);
  stdout = console;
}
BENCHMARK(update_run_output_discarded)->Unit(benchmark::kMicrosecond);

// Standard output to /dev/null: one write to the kernel per flushed message,
// as on a console, minus the console's own drawing.
void update_run_output_to_dev_null(benchmark::State &state) {
  std::fflush(stdout);
  const int console = dup(STDOUT_FILENO);
  const int dev_null = open("/dev/null", O_WRONLY);
  dup2(dev_null, STDOUT_FILENO);
  close(dev_null);
  time_runs(state);
  std::fflush(stdout);
  dup2(console, STDOUT_FILENO);
  close(console);
}
BENCHMARK(update_run_output_to_dev_null)->Unit(benchmark::kMicrosecond);

// One block report, as the pass builds it for every block it sends.
void build_block_report_for(benchmark::State &state, device_address address) {
  unsigned char report[BLOCK_REPORT_SIZE];
  const std::uint64_t allocations = allocation_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(address);
    build_block_report(address, report);
    benchmark::ClobberMemory();
  }
  report_allocations(state, allocations);
}
BENCHMARK_CAPTURE(build_block_report_for, full_block, 0x00000);
BENCHMARK_CAPTURE(build_block_report_for, last_block, 0x3A000);

} // namespace
