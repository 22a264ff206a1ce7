# Cross build for 32-bit ARM Linux with hardware floating point (Debian's armhf).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KORVANE_TRIPLET arm-linux-gnueabihf)
set(KORVANE_QEMU qemu-arm-static)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
