# Installed beside the daemon: its manual page, its systemd unit and the
# drop-ins for the units it wants, its init script for systems without
# systemd, all generated with the paths this build was configured with, and
# an example of udev rules for the modem. The Debian package is built from
# debian/.

include(GNUInstallDirs)

include(${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake)

# The generated files; tests/packaging checks them at these paths.
set(ptybridge_man_page ${PROJECT_BINARY_DIR}/packaging/ptybridge.8)
set(ptybridge_unit ${PROJECT_BINARY_DIR}/packaging/ptybridge.service)
ptybridge_configure_installed_files(${PROJECT_BINARY_DIR}/packaging
  "${CMAKE_INSTALL_FULL_SBINDIR}"
  "${PTYBRIDGE_CTRL_PTY}" "${PTYBRIDGE_AUDIO_PTY}"
  "${PTYBRIDGE_CTRL_GSM}" "${PTYBRIDGE_AUDIO_GSM}" "${PTYBRIDGE_LOCK_DIR}"
  "${PTYBRIDGE_CTRL_LINK}" "${PTYBRIDGE_AUDIO_LINK}")

# Manual pages are installed compressed where gzip is there to do it.
find_program(PTYBRIDGE_GZIP gzip)
if(PTYBRIDGE_GZIP)
  add_custom_command(OUTPUT ${ptybridge_man_page}.gz
    COMMAND ${PTYBRIDGE_GZIP} -9 -n -c ${ptybridge_man_page} > ${ptybridge_man_page}.gz
    DEPENDS ${ptybridge_man_page}
    COMMENT "Compressing ptybridge.8")
  add_custom_target(ptybridge_man ALL DEPENDS ${ptybridge_man_page}.gz)
  install(FILES ${ptybridge_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
else()
  install(FILES ${ptybridge_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()
# Relative: under the prefix. Debian's tools of this release take units
# from /lib/systemd/system (cmake/debian-package.cmake).
set(PTYBRIDGE_SYSTEMD_UNIT_DIR lib/systemd/system
  CACHE STRING "Where the systemd unit is installed")
install(FILES ${ptybridge_unit} DESTINATION ${PTYBRIDGE_SYSTEMD_UNIT_DIR})
foreach(dropin IN LISTS ptybridge_unit_dropins)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${dropin}/ptybridge.conf
    DESTINATION ${PTYBRIDGE_SYSTEMD_UNIT_DIR}/${dropin})
endforeach()
# /etc/init.d/ptybridge under the /usr prefix, as Debian has it.
install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/ptybridge.init
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d RENAME ptybridge)
# Stable modem names: an example to adapt, not active where it is installed.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-ptybridge-modem.rules.example
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Without systemd, under BusyBox init: the line for /etc/inittab. The
# same names under mdev: its helper and the line for /etc/mdev.conf.
install(FILES ${PROJECT_BINARY_DIR}/packaging/inittab.example DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/mdev/ptybridge-mdev
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ptybridge)
install(FILES ${PROJECT_BINARY_DIR}/packaging/mdev.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package (debian/, dpkg-buildpackage). Its Maintainer field: the
# default is debian/control's, the project's own.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/control ptybridge_maintainer
  REGEX "^Maintainer: " LIMIT_COUNT 1)
string(REGEX REPLACE "^Maintainer: " "" ptybridge_maintainer "${ptybridge_maintainer}")
set(PTYBRIDGE_PACKAGE_MAINTAINER "${ptybridge_maintainer}"
  CACHE STRING "Maintainer field of the Debian package")

# The version is the project's; debian/changelog must name it in its
# latest entry, or the package would carry another one.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog ptybridge_changelog_version
  REGEX "^ptybridge \\(" LIMIT_COUNT 1)
string(REGEX REPLACE "^ptybridge \\(([^)]*)\\).*" "\\1" ptybridge_changelog_version
  "${ptybridge_changelog_version}")
if(NOT ptybridge_changelog_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "debian/changelog is at ${ptybridge_changelog_version}, the project at "
    "${PROJECT_VERSION}: add an entry (dch -v ${PROJECT_VERSION})")
endif()
