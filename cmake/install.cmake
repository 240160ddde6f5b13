# Installed beside the daemon: its manual page and its systemd unit, both
# generated with the paths this build was configured with, and an example
# of udev rules for the modem; and Debian packages of the lot (cpack -G DEB,
# for the target's architecture).

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
install(FILES ${ptybridge_unit} DESTINATION lib/systemd/system)
# Stable modem names: an example to adapt, not active where it is installed.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-ptybridge-modem.rules.example
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package.
set(PTYBRIDGE_PACKAGE_MAINTAINER "ptybridge maintainers <ptybridge@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

# Architecture of the target, not of the build machine.
set(ptybridge_deb_arch "")
find_program(PTYBRIDGE_DPKG_ARCHITECTURE dpkg-architecture)
if(PTYBRIDGE_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(
    COMMAND ${PTYBRIDGE_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
    OUTPUT_VARIABLE ptybridge_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ptybridge_deb_arch)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(ptybridge_deb_arch amd64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(ptybridge_deb_arch arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_LIBRARY_ARCHITECTURE MATCHES "hf$")
    set(ptybridge_deb_arch armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(ptybridge_deb_arch armel)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i.86$")
    set(ptybridge_deb_arch i386)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ptybridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "relay between two pseudo-terminals and a USB GSM modem")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ptybridge holds the masters of two pseudo-terminals and relays their bytes,"
  "unchanged, to the control and audio channels of a USB GSM modem (two"
  "CDC-ACM devices). A modem channel is opened when the client first sends on"
  "it; every device is guarded by a UUCP lock file. It logs to syslog and"
  "stops in order on SIGTERM.")
if(PTYBRIDGE_CTRL_LINK OR PTYBRIDGE_AUDIO_LINK)
  set(links "${PTYBRIDGE_CTRL_LINK}" "${PTYBRIDGE_AUDIO_LINK}")
  list(REMOVE_ITEM links "")
  list(JOIN links " and " links)
  string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\nClients open the pseudo-terminals through the symbolic links"
    "\n${links},\nwhich it publishes while it runs.")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PTYBRIDGE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(ptybridge_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ptybridge_deb_arch})
endif()
# Depends: computed from the binary by dpkg-shlibdeps. For another
# architecture it needs that architecture's C library installed through
# multiarch (libc6:armhf), and is told which one at packaging time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package holds exactly the paths the unit and the manual page name.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
# No conffiles: nothing goes to /etc. The unit is the vendor's file; an
# administrator changes it with a drop-in under /etc/systemd/system.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(ptybridge_cpack_config ${PROJECT_BINARY_DIR}/packaging/cpack-project-config.cmake)
file(WRITE ${ptybridge_cpack_config}
  "# Written by cmake/install.cmake; read by cpack.\n")
if(CMAKE_CROSSCOMPILING AND ptybridge_deb_arch)
  file(APPEND ${ptybridge_cpack_config}
    "set(ENV{DEB_HOST_ARCH} ${ptybridge_deb_arch})\n"
    "set(ENV{OBJDUMP} \"${CMAKE_OBJDUMP}\")\n")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${ptybridge_cpack_config})

include(CPack)
