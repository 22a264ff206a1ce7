// Counts the process's heap allocations, so that the benchmarks can show
// that the image queries and the update run allocate nothing.
#pragma once

#include <benchmark/benchmark.h>
#include <cstdint>

// Allocations (malloc, calloc, realloc) made so far by the whole process.
std::uint64_t allocation_count();

// Sets the "allocations" counter: allocations per iteration since before.
inline void report_allocations(benchmark::State &state, std::uint64_t before) {
  state.counters["allocations"] =
      static_cast<double>(allocation_count() - before) / static_cast<double>(state.iterations());
}
