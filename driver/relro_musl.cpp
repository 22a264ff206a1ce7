// Full RELRO for the static file, linked against musl. The data that only
// relocation writes (the GOT, .init_array, .fini_array, .data.rel.ro) is
// made read-only by the dynamic loader once it has relocated a program, and
// musl's start code for a static program relocates it but leaves that data
// writable. So, as a loader would, this makes the file's RELRO segment
// read-only before main runs: the start code has relocated everything by
// the time constructors run. Pages are rounded as a loader rounds them: the
// linker ends the segment on a page boundary. Should mprotect fail, the file
// runs as musl leaves it; hardening is no reason to stop an update.
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

int protect_relro(dl_phdr_info *info, std::size_t /*size*/, void * /*data*/) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_GNU_RELRO) {
      continue;
    }
    const std::uintptr_t start = (info->dlpi_addr + segment.p_vaddr) & ~(page - 1);
    const std::uintptr_t end = (info->dlpi_addr + segment.p_vaddr + segment.p_memsz) & ~(page - 1);
    if (end > start) {
      // The program headers give addresses as integers.
      // NOLINTNEXTLINE(performance-no-int-to-ptr)
      mprotect(reinterpret_cast<void *>(start), end - start, PROT_READ);
    }
  }
  return 1; // a static program is the only object there is
}

__attribute__((constructor)) void protect_relro_before_main() { dl_iterate_phdr(protect_relro, nullptr); }

} // namespace
