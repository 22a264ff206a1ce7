# Shared part of the Linux cross builds with Debian's cross compilers: the
# including file sets CMAKE_SYSTEM_PROCESSOR, KORVANE_TRIPLET (the GNU
# triplet) and KORVANE_QEMU (the name of qemu's user-mode emulator). Programs
# built here, the tests among them, run through that emulator, started
# explicitly, so that no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KORVANE_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KORVANE_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

get_filename_component(_korvane_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_korvane_root}/tools/qemu-run.sh;${KORVANE_QEMU}")
