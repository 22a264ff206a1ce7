// The C library's allocator, wrapped: every allocation in the process (the
// C and C++ runtimes' own included) goes through here and is counted, then
// passed on to the library's own functions.
#include "allocation_count.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(std::size_t size) noexcept;
void *__libc_calloc(std::size_t count, std::size_t size) noexcept;
void *__libc_realloc(void *block, std::size_t size) noexcept;
void __libc_free(void *block) noexcept;
}

namespace {
std::atomic<std::uint64_t> allocations{0};
}

std::uint64_t allocation_count() { return allocations.load(std::memory_order_relaxed); }

extern "C" {
void *malloc(std::size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
void free(void *block) noexcept { __libc_free(block); }
}
