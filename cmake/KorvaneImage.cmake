# The built-in firmware image: generated from an Intel HEX file at build time
# by korvane_image_gen, which always runs on the build machine. A Linux cross
# build also takes the simulated bootloader from the build machine's tools.
# The static file's own build (cmake/linux-musl.cmake) is given the
# generator of the build that starts it.

if(KORVANE_IMAGE_GEN_PROGRAM)
  set(KORVANE_IMAGE_GEN "${KORVANE_IMAGE_GEN_PROGRAM}")
  set(KORVANE_IMAGE_GEN_DEPENDS "${KORVANE_IMAGE_GEN}")
elseif(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(_host_dir "${CMAKE_BINARY_DIR}/host-tools")
  set(_host_simulator OFF)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(_host_simulator ON)
    set(KORVANE_SIM_PROGRAM "${_host_dir}/korvane_sim")
    set(KORVANE_SIM_DEPENDS korvane_host_tools)
  endif()
  ExternalProject_Add(korvane_host_tools
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/tools/image_gen"
    BINARY_DIR "${_host_dir}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKORVANE_HOST_SIMULATOR=${_host_simulator}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${_host_dir}/korvane_image_gen" ${KORVANE_SIM_PROGRAM})
  set(KORVANE_IMAGE_GEN "${_host_dir}/korvane_image_gen")
  set(KORVANE_IMAGE_GEN_DEPENDS korvane_host_tools "${KORVANE_IMAGE_GEN}")
  set(KORVANE_IMAGE_GEN_TARGET korvane_host_tools)
else()
  add_subdirectory("${PROJECT_SOURCE_DIR}/tools/image_gen" "${CMAKE_BINARY_DIR}/tools/image_gen")
  set(KORVANE_IMAGE_GEN "$<TARGET_FILE:korvane_image_gen>")
  set(KORVANE_IMAGE_GEN_DEPENDS korvane_image_gen)
  set(KORVANE_IMAGE_GEN_TARGET korvane_image_gen)
endif()

# korvane_add_image(NAME HEX_FILE [PLACEHOLDER] [TEST_TABLES]): an object
# library NAME holding the image tables generated from HEX_FILE. A faulty
# file stops the build with the file and line named, and no table source is
# left behind. PLACEHOLDER marks the placeholder, which a build writes to a
# device only when asked to (image_write_refusal); any other image has no
# such check. TEST_TABLES writes the tables as embed-for-tests does.
function(korvane_add_image name hex_file)
  cmake_parse_arguments(PARSE_ARGV 2 _image "PLACEHOLDER;TEST_TABLES" "" "")
  set(mode embed)
  if(_image_TEST_TABLES)
    set(mode embed-for-tests)
  endif()
  if(_image_PLACEHOLDER)
    set(refusal "${PROJECT_SOURCE_DIR}/image/image_refusal_placeholder.cpp")
  else()
    set(refusal "${PROJECT_SOURCE_DIR}/image/image_refusal_firmware.cpp")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND "${KORVANE_IMAGE_GEN}" ${mode} "${hex_file}" "${out}"
    DEPENDS "${hex_file}" ${KORVANE_IMAGE_GEN_DEPENDS}
    COMMENT "Generating image tables ${name} from ${hex_file}"
    VERBATIM)
  add_library(${name} OBJECT "${out}" "${refusal}")
  target_link_libraries(${name} PRIVATE korvane_common)
  # Plain tables: optimising them only costs compile time.
  set_source_files_properties("${out}" PROPERTIES COMPILE_OPTIONS "-O0;-g0")
endfunction()

# The placeholder stands in while the real 9.32 firmware is not at hand.
set(KORVANE_PLACEHOLDER_HEX "${CMAKE_BINARY_DIR}/placeholder-firmware.hex")
add_custom_command(
  OUTPUT "${KORVANE_PLACEHOLDER_HEX}"
  COMMAND "${KORVANE_IMAGE_GEN}" placeholder "${KORVANE_PLACEHOLDER_HEX}"
  DEPENDS ${KORVANE_IMAGE_GEN_DEPENDS}
  COMMENT "Generating the placeholder firmware image"
  VERBATIM)
