# GoogleTest for a cross build. Debian packages it only for the build
# machine, so the target's copy is built here from Debian's sources (package
# googletest); its project names the libraries GTest::gtest and
# GTest::gtest_main, as the packaged one does.
set(KORVANE_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources to cross-build for the tests")
if(NOT EXISTS "${KORVANE_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${KORVANE_GOOGLETEST_SOURCE_DIR}: run tools/setup-debian.sh")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
if(WIN32)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
endif()
add_subdirectory("${KORVANE_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
# Not our code: its warnings under our flags are not ours to fix.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
