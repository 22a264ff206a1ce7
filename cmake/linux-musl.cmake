# The static file's own build (driver/CMakeLists.txt starts it from each
# Linux build): the updater linked against musl, a C library whose licence
# asks for a notice and nothing more, by the compiler the glibc build uses
# (the native g++ or Debian's cross compiler) with Debian's musl-dev for
# that CPU (multiarch). The glibc build passes its compiler's GNU triplet
# (KORVANE_GNU_TRIPLET, e.g. aarch64-linux-gnu) and its
# CMAKE_SYSTEM_PROCESSOR (KORVANE_SYSTEM_PROCESSOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KORVANE_SYSTEM_PROCESSOR})
set(CMAKE_CXX_COMPILER ${KORVANE_GNU_TRIPLET}-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_GNU_TRIPLET KORVANE_SYSTEM_PROCESSOR)
set(KORVANE_LIBC musl)

# musl's name for the same target: x86_64-linux-musl, aarch64-linux-musl,
# arm-linux-musleabihf.
string(REPLACE "-gnu" "-musl" _korvane_musl "${KORVANE_GNU_TRIPLET}")
set(_korvane_musl_lib "/usr/lib/${_korvane_musl}")
if(NOT EXISTS "${_korvane_musl_lib}/rcrt1.o")
  message(FATAL_ERROR "No musl for ${KORVANE_GNU_TRIPLET} in ${_korvane_musl_lib}: run tools/setup-debian.sh release")
endif()

# Headers: musl's in place of glibc's. -nostdinc drops every system folder,
# so the compiler's own C++ folders and its own folder (stddef.h, stdarg.h)
# are named again, ahead of musl's, in the compiler's order.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null OUTPUT_QUIET ERROR_VARIABLE _korvane_search)
string(REGEX MATCHALL "\n /[^\n]*/c\\+\\+/[^\n]*" _korvane_cxx_dirs "${_korvane_search}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include OUTPUT_VARIABLE _korvane_gcc_include
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_korvane_flags "-nostdinc")
foreach(_dir ${_korvane_cxx_dirs} ${_korvane_gcc_include} "/usr/include/${_korvane_musl}")
  string(STRIP "${_dir}" _dir)
  string(APPEND _korvane_flags " -isystem ${_dir}")
endforeach()
# libstdc++'s headers were configured for glibc: its <bits/os_defines.h>,
# which every C++ header includes, tests the glibc version with
# __GLIBC_PREREQ, which musl does not define, and the #if fails to parse.
# Defined as 0 ("no glibc of any version"), each of its tests takes the
# branch for a C library that is not glibc; they only concern gets, isinf
# and isnan, and std::thread's ids, none of which the updater uses. The
# rest of the C++ headers the updater includes are thin wrappers over the C
# headers, musl's here: a function musl lacked would fail the compile.
string(APPEND _korvane_flags " '-D__GLIBC_PREREQ(major,minor)=0'")
set(CMAKE_CXX_FLAGS_INIT "${_korvane_flags}")

# Link: every program here is a static position-independent executable
# with musl's start files (rcrt1.o relocates it) and the compiler's, musl's
# libc.a and the compiler's support library libgcc (with its unwinder,
# libgcc_eh, which ARM's exception tables refer to) and no C++ runtime
# library: the updater uses nothing of libstdc++ (no exceptions thrown, no
# new, no streams), and its link would fail if it did. The ARM compiler's
# driver does not know -static-pie (it would still ask for a loader), so
# the linker is told directly on every CPU. musl's folder comes first among
# the library folders, so that no -l finds glibc's.
foreach(_file crtbeginS.o crtendS.o libgcc.a libgcc_eh.a)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_file} OUTPUT_VARIABLE _korvane_${_file}
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> -nostdlib -static -Wl,-pie,--no-dynamic-linker,-z,text -L${_korvane_musl_lib} ${_korvane_musl_lib}/rcrt1.o ${_korvane_musl_lib}/crti.o ${_korvane_crtbeginS.o} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -Wl,--start-group ${_korvane_musl_lib}/libc.a ${_korvane_libgcc.a} ${_korvane_libgcc_eh.a} -Wl,--end-group ${_korvane_crtendS.o} ${_korvane_musl_lib}/crtn.o"
)
