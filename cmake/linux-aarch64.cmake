# Cross build for 64-bit ARM Linux (Debian's arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KORVANE_TRIPLET aarch64-linux-gnu)
set(KORVANE_QEMU qemu-aarch64-static)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
