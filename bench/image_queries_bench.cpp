// The three image queries on the built-in image, at the kinds of block the
// programming pass meets: one full of data, one with no present byte (the
// longest scan), and one beyond the image's capacity. Each also counts the
// heap allocations it makes (none expected).
#include <benchmark/benchmark.h>

#include "allocation_count.h"
#include "driver/update_run.h"
#include "image/image_store.h"

namespace {

constexpr device_address FULL_BLOCK = 0x00000;
constexpr device_address LAST_BLOCK = 0x3A000; // 396 present bytes, then absent ones
constexpr device_address BLANK_BLOCK = 0x3A400;
constexpr device_address BEYOND_CAPACITY = 0x3B000;

// The figures are only meaningful on the layout every shipped image has; say
// so instead of timing some other image.
bool check_layout(benchmark::State &state, bool answer, bool expected) {
  if (answer != expected) {
    state.SkipWithError("the built-in image does not have the shipped layout");
    return false;
  }
  return true;
}

void image_range_has_data_on(benchmark::State &state, device_address address, bool expected) {
  if (!check_layout(state, image_range_has_data(address, address + BLOCK_SIZE - 1), expected)) return;
  const std::uint64_t allocations = allocation_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(address);
    benchmark::DoNotOptimize(image_range_has_data(address, address + BLOCK_SIZE - 1));
  }
  report_allocations(state, allocations);
}
BENCHMARK_CAPTURE(image_range_has_data_on, full_block, FULL_BLOCK, true);
BENCHMARK_CAPTURE(image_range_has_data_on, blank_block, BLANK_BLOCK, false);
BENCHMARK_CAPTURE(image_range_has_data_on, beyond_capacity, BEYOND_CAPACITY, false);

void image_block_is_blank_on(benchmark::State &state, device_address address, bool expected) {
  if (!check_layout(state, image_block_is_blank(address, BLOCK_SIZE), expected)) return;
  const std::uint64_t allocations = allocation_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(address);
    benchmark::DoNotOptimize(image_block_is_blank(address, BLOCK_SIZE));
  }
  report_allocations(state, allocations);
}
BENCHMARK_CAPTURE(image_block_is_blank_on, full_block, FULL_BLOCK, false);
BENCHMARK_CAPTURE(image_block_is_blank_on, blank_block, BLANK_BLOCK, true);
BENCHMARK_CAPTURE(image_block_is_blank_on, beyond_capacity, BEYOND_CAPACITY, true);

void image_read_of(benchmark::State &state, device_address address) {
  unsigned char block[BLOCK_SIZE];
  const std::uint64_t allocations = allocation_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(address);
    image_read(address, BLOCK_SIZE, block);
    benchmark::ClobberMemory();
  }
  report_allocations(state, allocations);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * BLOCK_SIZE);
}
BENCHMARK_CAPTURE(image_read_of, full_block, FULL_BLOCK);
BENCHMARK_CAPTURE(image_read_of, last_block, LAST_BLOCK);

} // namespace
