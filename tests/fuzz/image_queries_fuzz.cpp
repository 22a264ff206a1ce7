// Fuzz target for the three image queries. Each input lays out an image
// (runs of present bytes over a background of absent ones whose data bytes
// hold junk) and then asks queries with arbitrary 32-bit arguments. Every
// answer is compared with a slow model that works from the runs alone, never
// from the tables.
//
// The store is compiled here over tables that this target maps itself (see
// CMakeLists.txt): each table is followed and preceded by an inaccessible
// page and is read-only while the queries run, so any read outside a table,
// and any write to one, ends the run with a crash that libFuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "image/image_store.h"

// The store reads its tables through these (see CMakeLists.txt).
const unsigned char (*fuzz_image_presence)[IMAGE_CAPACITY] = nullptr;
const unsigned char (*fuzz_image_data)[IMAGE_CAPACITY] = nullptr;

namespace {

constexpr std::int64_t CAPACITY = IMAGE_CAPACITY;

// A stretch of the image: addresses first .. first + length - 1 get the given
// presence entry (0 makes them absent again) and data bytes. Later runs
// overwrite earlier ones.
struct Run {
  std::int64_t first;
  std::int64_t length;
  unsigned char presence;
  std::vector<unsigned char> data; // repeated when shorter than the run
};

struct Model {
  std::vector<Run> runs;

  // The byte at address, or -1 when absent (also outside the image).
  int byte_at(std::int64_t address) const {
    int value = -1;
    if (address < 0 || address >= CAPACITY) return value;
    for (const Run &run : runs) {
      if (address >= run.first && address < run.first + run.length) {
        value = run.presence != 0 ? run.data[static_cast<std::size_t>(address - run.first) % run.data.size()] : -1;
      }
    }
    return value;
  }

  // Calls visit(address) for every address in first..last (inclusive) that
  // some run covers: everything else is absent, so only these can matter.
  template <typename Visit> bool any_covered(std::int64_t first, std::int64_t last, Visit visit) const {
    for (const Run &run : runs) {
      const std::int64_t from = std::max(first, run.first);
      const std::int64_t to = std::min(last, run.first + run.length - 1);
      for (std::int64_t address = from; address <= to; ++address) {
        if (visit(address)) return true;
      }
    }
    return false;
  }

  bool range_has_data(std::int32_t first, std::int32_t last) const {
    const bool inside = 0 <= first && first <= last && last < CAPACITY;
    return inside && any_covered(first, last, [&](std::int64_t a) { return byte_at(a) >= 0; });
  }

  bool block_is_blank(std::int32_t address, std::int32_t count) const {
    // A negative count is treated like 0: nothing to look at, so blank.
    if (count <= 0 || address < 0 || std::int64_t{address} + count > CAPACITY) return true;
    return !any_covered(address, std::int64_t{address} + count - 1, [&](std::int64_t a) {
      const int value = byte_at(a);
      return value >= 0 && value != 0xFF;
    });
  }

  unsigned char read_byte(std::int32_t address, std::int32_t count, std::int32_t i) const {
    if (address < 0 || std::int64_t{address} + count > CAPACITY) return 0xFF;
    const int value = byte_at(std::int64_t{address} + i);
    return value < 0 ? 0xFF : static_cast<unsigned char>(value);
  }
};

// One table between two inaccessible pages.
unsigned char *map_guarded_table() {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t table = (static_cast<std::size_t>(CAPACITY) + page - 1) / page * page;
  void *area = mmap(nullptr, table + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) std::abort();
  // The table ends where the guard page starts, so the first byte past it faults.
  unsigned char *start = static_cast<unsigned char *>(area) + page + (table - static_cast<std::size_t>(CAPACITY));
  if (mprotect(static_cast<unsigned char *>(area) + page, table, PROT_READ | PROT_WRITE) != 0) std::abort();
  return start;
}

void set_writable(unsigned char *table, bool writable) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(table) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(table) + static_cast<std::uintptr_t>(CAPACITY);
  if (mprotect(reinterpret_cast<void *>(start), end - start, writable ? PROT_READ | PROT_WRITE : PROT_READ) != 0) {
    std::abort();
  }
}

void fail(const char *what, std::int32_t a, std::int32_t b) {
  std::fprintf(stderr, "%s disagrees with the model for (%d, %d)\n", what, a, b);
  std::abort();
}

// a + delta, wrapping around at the ends of the 32-bit range.
std::int32_t offset_by(std::int32_t a, std::int64_t delta) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(delta));
}

// An argument near a place where faults hide: 0, the capacity, the ends of a
// run, the ends of the 32-bit range, or a block's length from near.
std::int32_t edge(FuzzedDataProvider &input, const Model &model, std::int32_t near) {
  switch (input.ConsumeIntegralInRange(0, 5)) {
  case 0:
    return 0;
  case 1:
    return static_cast<std::int32_t>(CAPACITY);
  case 2:
    return std::numeric_limits<std::int32_t>::min();
  case 3:
    return std::numeric_limits<std::int32_t>::max();
  case 4:
    return offset_by(near, 1024);
  default: {
    if (model.runs.empty()) return near;
    const Run &run = model.runs[input.ConsumeIntegralInRange<std::size_t>(0, model.runs.size() - 1)];
    return static_cast<std::int32_t>(run.first + (input.ConsumeBool() ? 0 : run.length));
  }
  }
}

// Any 32-bit value, or one at or close to an edge.
std::int32_t argument(FuzzedDataProvider &input, const Model &model, std::int32_t near) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
  case 0:
    return input.ConsumeIntegral<std::int32_t>();
  case 1:
    return edge(input, model, near);
  case 2:
    return offset_by(edge(input, model, near), input.ConsumeIntegralInRange(-4, 4));
  default:
    return offset_by(edge(input, model, near), input.ConsumeIntegralInRange(-1100, 1100));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
  static unsigned char *const presence = map_guarded_table();
  static unsigned char *const data = map_guarded_table();
  fuzz_image_presence = reinterpret_cast<const unsigned char(*)[IMAGE_CAPACITY]>(presence);
  fuzz_image_data = reinterpret_cast<const unsigned char(*)[IMAGE_CAPACITY]>(data);

  FuzzedDataProvider input(bytes, size);

  // The image: junk data bytes everywhere (never to be read where absent),
  // then the runs.
  Model model;
  set_writable(presence, true);
  set_writable(data, true);
  std::memset(presence, 0, static_cast<std::size_t>(CAPACITY));
  std::memset(data, input.ConsumeIntegral<unsigned char>(), static_cast<std::size_t>(CAPACITY));
  const int run_count = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < run_count; ++i) {
    Run run;
    run.length = input.ConsumeIntegralInRange(1, 2100);
    run.first = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int64_t>(0, CAPACITY - run.length)
                                    : CAPACITY - run.length - input.ConsumeIntegralInRange<std::int64_t>(0, 3);
    run.first = std::max<std::int64_t>(run.first, 0);
    run.presence = input.ConsumeIntegral<unsigned char>();
    const std::string pattern = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(1, 8));
    run.data.assign(pattern.begin(), pattern.end());
    if (run.data.empty()) run.data.push_back(0xFF);
    for (std::int64_t a = run.first; a < run.first + run.length; ++a) {
      presence[a] = run.presence;
      if (run.presence != 0) data[a] = run.data[static_cast<std::size_t>(a - run.first) % run.data.size()];
    }
    model.runs.push_back(std::move(run));
  }
  set_writable(presence, false);
  set_writable(data, false);

  // The queries.
  constexpr std::size_t GUARD = 16;
  constexpr unsigned char UNTOUCHED = 0xA5;
  std::vector<unsigned char> out;
  while (input.remaining_bytes() > 0) {
    const int query = input.ConsumeIntegralInRange(0, 2);
    const std::int32_t a = argument(input, model, 0);
    const std::int32_t b = argument(input, model, a);
    if (query == 0) {
      if (image_range_has_data(a, b) != model.range_has_data(a, b)) fail("image_range_has_data", a, b);
    } else if (query == 1) {
      // A negative count is outside the domain, but must still be safe.
      if (image_block_is_blank(a, b) != model.block_is_blank(a, b)) fail("image_block_is_blank", a, b);
    } else {
      // The buffer holds count bytes (at most 8191 here, any negative count
      // writing nothing); the bytes around it must stay untouched.
      const std::int32_t count = b < 0 ? b : b % 8192;
      const std::size_t length = count > 0 ? static_cast<std::size_t>(count) : 0;
      out.assign(length + 2 * GUARD, UNTOUCHED);
      image_read(a, count, out.data() + GUARD);
      for (std::size_t i = 0; i < out.size(); ++i) {
        const bool written = i >= GUARD && i < GUARD + length;
        const unsigned char expected =
            written ? model.read_byte(a, count, static_cast<std::int32_t>(i - GUARD)) : UNTOUCHED;
        if (out[i] != expected) fail("image_read", a, count);
      }
    }
  }
  return 0;
}
