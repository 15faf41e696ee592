# Installation and the Debian package (scripts/package): the console, dravlinctl and dravlin-sim,
# the desktop entry with the console's icon, manual pages made from each program's --help, the
# bash completion of dravlinctl made from its commands' --help, and CPack's DEB settings.

# The console tells the same version as dravlinctl in every build.
if(TARGET dravlin)
  target_compile_definitions(dravlin PRIVATE DRAVLIN_VERSION="${PROJECT_VERSION}")
endif()

# Off by default: the development builds stay free of the packaging tools and steps.
option(DRAVLIN_PACKAGE "Install rules, manual pages, icons and completion for the .deb (scripts/package)" OFF)
if(NOT DRAVLIN_PACKAGE)
  return()
endif()
if(WIN32 OR NOT TARGET dravlin OR NOT TARGET dravlinctl OR NOT TARGET dravlin-sim)
  message(FATAL_ERROR "DRAVLIN_PACKAGE needs the Linux build with the console (DRAVLIN_BUILD_UI=ON)")
endif()

include(GNUInstallDirs)
find_program(DRAVLIN_HELP2MAN help2man REQUIRED)
find_program(DRAVLIN_GZIP gzip REQUIRED)

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)
set(_from_help ${_pkg_src}/from-help)
set(_pkg_maintainer "Dravlin developers <dravlin@example.org>")
set(_pkg_files)

# Manual pages: help2man over --help (and --version where the program has one), gzipped without
# a time stamp so the package builds reproducibly.
function(_dravlin_manpage target name)
  set(page ${_pkg_out}/man/${target}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_out}/man
    COMMAND ${DRAVLIN_HELP2MAN} --no-info --section=1 "--name=${name}" ${ARGN}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${DRAVLIN_GZIP} -n9f ${page}
    DEPENDS ${target} ${_from_help}
    VERBATIM)
  set(_pkg_files ${_pkg_files} ${page}.gz PARENT_SCOPE)
endfunction()

# dravlinctl's page carries every command's own --help as a COMMANDS section.
add_custom_command(OUTPUT ${_pkg_out}/man/dravlinctl.commands
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_out}/man
  COMMAND ${_from_help} man-commands $<TARGET_FILE:dravlinctl> ${_pkg_out}/man/dravlinctl.commands
  DEPENDS dravlinctl ${_from_help}
  VERBATIM)
_dravlin_manpage(dravlin "maintenance console for network video recorders")
_dravlin_manpage(dravlinctl "maintain network video recorders from the command line"
  --include=${_pkg_out}/man/dravlinctl.commands)
add_custom_command(OUTPUT ${_pkg_out}/man/dravlinctl.1.gz APPEND DEPENDS ${_pkg_out}/man/dravlinctl.commands)
_dravlin_manpage(dravlin-sim "simulated network video recorders for tests and demonstrations"
  --version-string=${PROJECT_VERSION})

add_custom_command(OUTPUT ${_pkg_out}/dravlinctl.bash
  COMMAND ${_from_help} completion $<TARGET_FILE:dravlinctl> ${_pkg_out}/dravlinctl.bash
  DEPENDS dravlinctl ${_from_help}
  VERBATIM)
list(APPEND _pkg_files ${_pkg_out}/dravlinctl.bash)

# The icon is drawn in code (ui/platform/resources.cpp); render it rather than keep copies.
add_executable(dravlin-render-icon ${_pkg_src}/render_icon.cpp)
target_link_libraries(dravlin-render-icon PRIVATE dravlin_ui_platform)
add_custom_command(OUTPUT ${_pkg_out}/icons/48x48/apps/dravlin.png
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:dravlin-render-icon> ${_pkg_out}/icons
  DEPENDS dravlin-render-icon
  VERBATIM)
list(APPEND _pkg_files ${_pkg_out}/icons/48x48/apps/dravlin.png)

# A native package's changelog: one entry for the version, dated by SOURCE_DATE_EPOCH when set.
string(TIMESTAMP _pkg_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_pkg_out}/changelog
  "dravlin (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- ${_pkg_maintainer}  ${_pkg_date}\n")
add_custom_command(OUTPUT ${_pkg_out}/changelog.gz
  COMMAND ${DRAVLIN_GZIP} -n9c ${_pkg_out}/changelog > ${_pkg_out}/changelog.gz
  DEPENDS ${_pkg_out}/changelog)
list(APPEND _pkg_files ${_pkg_out}/changelog.gz)

add_custom_target(dravlin_package_data ALL DEPENDS ${_pkg_files})

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS dravlin dravlinctl dravlin-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# `dravlinctl serve` hands over to its server, found there.
if(TARGET dravlinctl-serve)
  install(TARGETS dravlinctl-serve RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/dravlin)
endif()
install(FILES ${_pkg_src}/dravlin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${_pkg_out}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${_pkg_out}/man/dravlin.1.gz ${_pkg_out}/man/dravlinctl.1.gz ${_pkg_out}/man/dravlin-sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_out}/dravlinctl.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME dravlinctl)
install(FILES ${_pkg_src}/copyright ${_pkg_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dravlin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dravlin)
set(CPACK_PACKAGE_VENDOR "Dravlin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${_pkg_maintainer}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${_pkg_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Libraries from dpkg-shlibdeps; Qt's platform plugins and libpq are loaded at run time, so no
# library names them; the console's texts are Chinese.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
if(DRAVLIN_HISTORY_HAS_POSTGRESQL)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libpq5")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance console for network video recorders")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Dravlin finds the network video recorders (NVRs) and IP cameras of one\n"
  "product family on the LAN and maintains many of them at once: boot,\n"
  "channel-background and shutdown pictures, reboots, the PC clock, an NVR's\n"
  "camera channel table and firmware upgrades, with a live status per recorder.\n"
  "\n"
  "The package holds the Qt console (dravlin), the command-line tool for\n"
  "scripts and production lines (dravlinctl, with bash completion) and a fleet\n"
  "of simulated recorders for tests and demonstrations (dravlin-sim).")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
include(CPack)
