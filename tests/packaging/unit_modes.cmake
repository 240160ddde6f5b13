# What the daemon needs from its unit in each mode, beyond what
# systemd-analyze verify can know: the devices it opens, the directory of
# its links, the group its slaves get, and the modem's driver loaded
# before the device rules apply.
set(failures "")
function(expect mode line present)
  file(STRINGS "${${mode}}" lines)
  list(FIND lines "${line}" at)
  if(present AND at EQUAL -1)
    set(failures "${failures}\n${mode} unit lacks: ${line}" PARENT_SCOPE)
  elseif(NOT present AND NOT at EQUAL -1)
    set(failures "${failures}\n${mode} unit has: ${line}" PARENT_SCOPE)
  endif()
endfunction()

foreach(mode LEGACY LINK)
  expect(${mode} "Wants=modprobe@cdc_acm.service" TRUE)
  expect(${mode} "After=modprobe@cdc_acm.service" TRUE)
  expect(${mode} "DevicePolicy=closed" TRUE)
  expect(${mode} "DeviceAllow=char-ttyACM rw" TRUE)
  expect(${mode} "ReadWritePaths=-/var/lock" TRUE)
endforeach()

expect(LEGACY "DeviceAllow=/dev/ptyp6 rw" TRUE)
expect(LEGACY "DeviceAllow=/dev/ptyp7 rw" TRUE)
expect(LEGACY "DeviceAllow=/dev/ptmx rw" FALSE)
expect(LEGACY "RuntimeDirectory=ptybridge" FALSE)
expect(LEGACY "Group=dialout" FALSE)
expect(LEGACY "SystemCallFilter=@chown" FALSE)

# The modem at udev names: a path rule would be resolved once at the start,
# and refuse the modem plugged in later or under another ttyACM number.
expect(LINK "DeviceAllow=/dev/gsm-ctrl rw" FALSE)
expect(LINK "DeviceAllow=/dev/gsm-audio rw" FALSE)
expect(LINK "DeviceAllow=/dev/ptmx rw" TRUE)
expect(LINK "DeviceAllow=char-pts rw" TRUE)
expect(LINK "DeviceAllow=/dev/ptyp6 rw" FALSE)
expect(LINK "RuntimeDirectory=ptybridge" TRUE)
expect(LINK "RuntimeDirectoryMode=0755" TRUE)
expect(LINK "Group=dialout" TRUE)
expect(LINK "SystemCallFilter=@chown" TRUE)

# A restart after a crash waits for no modprobe of a driver already loaded.
foreach(mode LEGACY LINK)
  get_filename_component(dir "${${mode}}" DIRECTORY)
  set(${mode}_DROPIN "${dir}/modprobe@cdc_acm.service.d/ptybridge.conf")
  if(NOT EXISTS "${${mode}_DROPIN}")
    string(APPEND failures "\nno ${${mode}_DROPIN}")
  else()
    expect(${mode}_DROPIN "ConditionPathIsDirectory=!/sys/module/cdc_acm" TRUE)
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
