# The manual page, the systemd unit and the init script, generated for one
# set of build-time paths. cmake/install.cmake generates them for this
# build; tests/packaging also generates them for the other pseudo-terminal
# mode and checks both.

include_guard(GLOBAL)
include(GNUInstallDirs)

# Writes OUT_DIR/ptybridge.8, OUT_DIR/ptybridge.service,
# OUT_DIR/ptybridge.init (the init script, its process ID file in
# CMAKE_INSTALL_FULL_RUNSTATEDIR), OUT_DIR/inittab.example (BusyBox init's
# respawn line) and OUT_DIR/mdev.conf.example (the line that runs the mdev
# helper from CMAKE_INSTALL_FULL_LIBEXECDIR), and for each modem driver the
# unit wants loaded a drop-in OUT_DIR/modprobe@DRIVER.service.d/
# ptybridge.conf, whose directories it lists in ptybridge_unit_dropins. A
# channel with a link gets a Unix98 master (ptybridge_master of the
# top-level CMakeLists) whose slave the daemon links at that path.
function(ptybridge_configure_installed_files out_dir sbindir
    ctrl_pty audio_pty ctrl_gsm audio_gsm lock_dir ctrl_link audio_link)
  set(ptybridge_sbindir "${sbindir}")
  set(PTYBRIDGE_CTRL_GSM "${ctrl_gsm}")
  set(PTYBRIDGE_AUDIO_GSM "${audio_gsm}")
  set(PTYBRIDGE_LOCK_DIR "${lock_dir}")

  set(ptybridge_device_allow "")
  set(run_dirs "")
  set(write_dirs "")
  foreach(channel ctrl audio)
    set(link "${${channel}_link}")
    set(ptybridge_${channel}_run_dir "")
    # The master and the name of its lock, as the daemon is built with them.
    ptybridge_master("${${channel}_pty}" "${link}" pty lock)
    get_filename_component(lock "${lock}" NAME)
    set(ptybridge_${channel}_pty_lock "LCK..${lock}")
    if(link)
      get_filename_component(dir "${link}" DIRECTORY)
      set(ptybridge_${channel}_client "Pa ${link}")
      set(ptybridge_${channel}_client_path "${link}")
      # A directory under /run is the unit's runtime directory: systemd makes
      # it for the daemon, which makes none, and removes it with any link
      # left in it at the stop.
      if(dir MATCHES "^/run/(.+)$")
        list(APPEND run_dirs "${CMAKE_MATCH_1}")
        # The init script makes it as well.
        set(ptybridge_${channel}_run_dir "${dir}")
      else()
        list(APPEND write_dirs "${dir}")
      endif()
    else()
      get_filename_component(name "${pty}" NAME)
      # The slave of a legacy master /dev/ptyXY is /dev/ttyXY.
      if(name MATCHES "^pty([p-za-e][0-9a-f])$")
        set(ptybridge_${channel}_client_path "/dev/tty${CMAKE_MATCH_1}")
        set(ptybridge_${channel}_client "Pa ${ptybridge_${channel}_client_path}")
      else()
        set(ptybridge_${channel}_client_path "SLAVE")
        set(ptybridge_${channel}_client "its slave")
      endif()
    endif()
    set(ptybridge_${channel}_master "${pty}")
  endforeach()
  set(PTYBRIDGE_CTRL_PTY "${ptybridge_ctrl_master}")
  set(PTYBRIDGE_AUDIO_PTY "${ptybridge_audio_master}")
  foreach(device CTRL_GSM AUDIO_GSM)
    string(TOLOWER "${device}" name)
    get_filename_component(ptybridge_${name}_name "${PTYBRIDGE_${device}}" NAME)
  endforeach()

  # Device access. A multiplexer master is allowed by path, its slaves by
  # their driver's group. Legacy masters are fixed nodes, allowed by path.
  set(rules "")
  foreach(pty "${ptybridge_ctrl_master}" "${ptybridge_audio_master}")
    list(APPEND rules "${pty}")
    if(pty MATCHES "ptmx$")
      list(APPEND rules char-pts)
    endif()
  endforeach()
  # A path rule is resolved once, when the unit starts, so a modem that
  # enumerates later would stay refused: a modem channel named like a serial
  # driver's node (ttyACM12, ttyUSB2) is allowed through that driver's group
  # instead, which keeps working across unplug and replug. Any other name
  # (a udev link such as /dev/gsm-ctrl) stands for a CDC-ACM channel.
  set(drivers "")
  foreach(device "${ctrl_gsm}" "${audio_gsm}")
    get_filename_component(name "${device}" NAME)
    if(device MATCHES "^/dev/" AND name MATCHES "^(tty[A-Za-z]+)[0-9]+$")
      set(group "${CMAKE_MATCH_1}")
    else()
      set(group ttyACM)
    endif()
    list(APPEND rules "char-${group}")
    if(group STREQUAL "ttyACM")
      list(APPEND drivers cdc_acm)
    elseif(group STREQUAL "ttyUSB")
      list(APPEND drivers usbserial)
    endif()
  endforeach()
  list(REMOVE_DUPLICATES rules)
  foreach(rule IN LISTS rules)
    string(APPEND ptybridge_device_allow "DeviceAllow=${rule} rw\n")
  endforeach()
  string(STRIP "${ptybridge_device_allow}" ptybridge_device_allow)

  # A group rule only covers a driver whose major number is registered when
  # the unit starts: load the modem's driver first.
  set(ptybridge_unit_drivers "")
  list(REMOVE_DUPLICATES drivers)
  if(drivers)
    string(APPEND ptybridge_unit_drivers
      "\n# The modem's driver is loaded first: a DeviceAllow= rule for a driver's"
      "\n# group only covers a driver whose major number is known at the start.")
  endif()
  set(dropins "")
  foreach(driver IN LISTS drivers)
    string(APPEND ptybridge_unit_drivers
      "\nWants=modprobe@${driver}.service\nAfter=modprobe@${driver}.service")
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../packaging/modprobe-driver.conf.in
      ${out_dir}/modprobe@${driver}.service.d/ptybridge.conf @ONLY)
    list(APPEND dropins modprobe@${driver}.service.d)
  endforeach()
  set(ptybridge_unit_dropins "${dropins}" PARENT_SCOPE)

  set(ptybridge_unit_group "")
  set(ptybridge_unit_chown "")
  set(ptybridge_init_chuid "")
  if(ctrl_link OR audio_link)
    set(ptybridge_init_chuid "root:dialout")
    string(APPEND ptybridge_unit_group
      "\n# The slaves it publishes get its group and mode 0660, as serial devices"
      "\n# have: whoever may use the modem may open the links."
      "\nGroup=dialout")
    # Giving a slave its group is a chown, which @privileged takes away.
    set(ptybridge_unit_chown "\n# It gives each slave its group.\nSystemCallFilter=@chown")
  endif()
  set(ptybridge_unit_links "")
  if(run_dirs)
    list(REMOVE_DUPLICATES run_dirs)
    list(JOIN run_dirs " " run_dirs)
    string(APPEND ptybridge_unit_links
      "\n# Where it links its pseudo-terminals' slaves: made for it at the start,"
      "\n# removed with anything left in it at the stop."
      "\nRuntimeDirectory=${run_dirs}\nRuntimeDirectoryMode=0755")
  endif()
  list(REMOVE_DUPLICATES write_dirs)
  foreach(dir IN LISTS write_dirs)
    string(APPEND ptybridge_unit_links "\nReadWritePaths=-${dir}")
  endforeach()

  # Shown in the manual page's table of build-time values.
  foreach(channel CTRL AUDIO)
    string(TOLOWER "${channel}" name)
    if(${name}_link)
      set(ptybridge_${name}_link_shown "Pa ${${name}_link}")
    else()
      set(ptybridge_${name}_link_shown "Li \\(dq\\(dq")
    endif()
    set(ptybridge_${name}_pty_shown "${${name}_pty}")
  endforeach()
  set(linked "")
  set(legacy "")
  foreach(channel ctrl audio)
    if(${channel}_link)
      list(APPEND linked "the ${channel} channel at\n.Pa ${${channel}_link}")
    else()
      list(APPEND legacy "${channel}")
    endif()
  endforeach()
  set(ptybridge_man_mode "")
  if(linked)
    list(JOIN linked "\nand " linked)
    string(APPEND ptybridge_man_mode "This build publishes ${linked} .\n")
  endif()
  if(legacy)
    list(JOIN legacy " and " legacy)
    string(APPEND ptybridge_man_mode "This build uses legacy pseudo-terminals for ${legacy}.")
  endif()
  string(STRIP "${ptybridge_man_mode}" ptybridge_man_mode)
  if(ptybridge_ctrl_master STREQUAL ptybridge_audio_master)
    set(ptybridge_masters "Pa ${ptybridge_ctrl_master}")
  else()
    set(ptybridge_masters "Pa ${ptybridge_ctrl_master} , Pa ${ptybridge_audio_master}")
  endif()

  # BusyBox init runs it in the foreground, made ready as the unit makes it
  # ready: the links' directory, the group.
  set(command "${sbindir}/ptybridge")
  if(ptybridge_init_chuid)
    set(command "exec start-stop-daemon -S -c ${ptybridge_init_chuid} -x ${command}")
  endif()
  set(dirs "${ptybridge_ctrl_run_dir};${ptybridge_audio_run_dir}")
  list(REMOVE_ITEM dirs "")
  list(REMOVE_DUPLICATES dirs)
  if(dirs)
    list(JOIN dirs " " dirs)
    set(command "mkdir -p ${dirs} && ${command}")
  endif()
  if(NOT command STREQUAL "${sbindir}/ptybridge")
    set(command "/bin/sh -c '${command}'")
  endif()
  set(ptybridge_inittab_command "${command}")
  set(ptybridge_init_pidfile "${CMAKE_INSTALL_FULL_RUNSTATEDIR}/ptybridge.pid")
  set(ptybridge_sysconfdir "${CMAKE_INSTALL_FULL_SYSCONFDIR}")
  set(ptybridge_libexecdir "${CMAKE_INSTALL_FULL_LIBEXECDIR}")

  set(templates ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../packaging)
  file(MAKE_DIRECTORY "${out_dir}")
  configure_file(${templates}/ptybridge.8.in ${out_dir}/ptybridge.8 @ONLY)
  configure_file(${templates}/ptybridge.service.in ${out_dir}/ptybridge.service
    @ONLY)
  configure_file(${templates}/ptybridge.init.in ${out_dir}/ptybridge.init @ONLY)
  configure_file(${templates}/ptybridge.inittab.in ${out_dir}/inittab.example @ONLY)
  configure_file(${templates}/mdev/mdev.conf.example.in ${out_dir}/mdev.conf.example @ONLY)
endfunction()
