# The Debian package of the Linux updater, made with `cpack -G DEB` (see
# tools/release.sh): the updater as /usr/bin/korvane-updater, its udev rule,
# its man page, the copyright file, the changelog and lintian's overrides.
# Also the stripped static file for the release's Linux archive
# (package/static/).

set(_package_dir "${CMAKE_BINARY_DIR}/package")
set(_packaging "${PROJECT_SOURCE_DIR}/tools/packaging")

# Packaged stripped, as Debian's own tools strip binaries (the static file of
# the release's Linux archive too); gzipped without names or times, so the
# same sources give the same files.
set(_strip --remove-section=.comment --remove-section=.note --strip-unneeded)
add_custom_command(
  OUTPUT "${_package_dir}/korvane-updater"
  COMMAND "${CMAKE_STRIP}" ${_strip} -o "${_package_dir}/korvane-updater" "$<TARGET_FILE:korvane_updater>"
  DEPENDS korvane_updater
  VERBATIM)
set(_package_files "${_package_dir}/korvane-updater" "${_package_dir}/korvane-updater.1.gz" "${_package_dir}/changelog.gz")
if(TARGET korvane_updater_static)
  add_custom_command(
    OUTPUT "${_package_dir}/static/korvane-updater"
    COMMAND "${CMAKE_STRIP}" ${_strip} -o "${_package_dir}/static/korvane-updater" "${KORVANE_STATIC_FILE}"
    DEPENDS korvane_updater_static "${KORVANE_STATIC_FILE}"
    VERBATIM)
  list(APPEND _package_files "${_package_dir}/static/korvane-updater")
endif()
foreach(_document korvane-updater.1 changelog)
  add_custom_command(
    OUTPUT "${_package_dir}/${_document}.gz"
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" gzip "${_packaging}/${_document}" "${_package_dir}/${_document}.gz"
    DEPENDS "${_packaging}/${_document}"
    VERBATIM)
endforeach()
add_custom_target(korvane_package_files ALL DEPENDS ${_package_files})

install(PROGRAMS "${_package_dir}/korvane-updater" DESTINATION bin)
install(FILES "${PROJECT_SOURCE_DIR}/tools/udev/70-korvane-bootloader.rules" DESTINATION lib/udev/rules.d)
install(FILES "${_package_dir}/korvane-updater.1.gz" DESTINATION share/man/man1)
install(FILES "${_packaging}/copyright" "${_package_dir}/changelog.gz" DESTINATION share/doc/korvane-updater)
install(FILES "${_packaging}/lintian-overrides" DESTINATION share/lintian/overrides RENAME korvane-updater)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane-updater)
# A test package of a placeholder build says so in its version and file name.
if(KORVANE_PLACEHOLDER_IMAGE)
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}~placeholder")
else()
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Korvane Updater developers <updater@korvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Korvane firmware 9.32 updater")
set(CPACK_PACKAGE_DESCRIPTION
    "Writes Korvane firmware version 9.32, which it carries, to a Korvane\n"
    "device through the device's USB HID bootloader. The package also gives\n"
    "the user logged in at the machine access to the bootloader (udev rule).")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian's name for the CPU the build is for.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
