// The stack protector's guard value and failure routine, for code compiled
// with -fstack-protector-strong. The compiler's own support library seeds
// the guard through the system's cryptographic provider, which loads DLLs
// before main runs, with the standard search order that looks in the exe's
// folder first. This seeds it from kernel32 alone, from the same sources
// Windows' own compilers use for their stack cookie.
#include <windows.h>

#include <cstdint>

extern "C" {

// The compiler's code names both symbols.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

// Read by every protected function on entry and checked on return.
std::uintptr_t __stack_chk_guard = 0;

// Called by a protected function whose frame was overwritten. Nothing in the
// process can be trusted any more, so it ends at once: no message, no exit
// handlers, no unwinding.
[[noreturn]] void __stack_chk_fail() {
  // Where the system offers it, the fast-fail interrupt ends the process
  // without running any of its exception handlers.
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) != FALSE) {
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}

// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
} // extern "C"

// Runs before every other constructor of the program, so that no protected
// function is on the stack with the old value when the guard changes. It is
// itself not protected for the same reason.
__attribute__((constructor(101), no_stack_protector)) static void seed_stack_guard() {
  FILETIME system_time;
  GetSystemTimeAsFileTime(&system_time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  std::uintptr_t seed = system_time.dwLowDateTime ^ system_time.dwHighDateTime;
  seed ^= GetCurrentProcessId();
  seed ^= GetCurrentThreadId();
  seed ^= GetTickCount();
  seed ^= static_cast<std::uintptr_t>(counter.LowPart) ^ static_cast<std::uintptr_t>(counter.HighPart);
  // Where the image and its stack lie differs from run to run too (ASLR).
  seed ^= reinterpret_cast<std::uintptr_t>(&seed);
  // A guard of 0 would be the unseeded value, which an attacker knows.
  __stack_chk_guard = seed != 0 ? seed : 0x2B992DDFU;
}
