# Runs at install time, so that every path follows the prefix given then
# (cmake --install --prefix P, or /usr for the Debian package): installs the
# example parameter file, the systemd unit that names where the programs
# and the parameter file went, and the socket unit on the file's port.

# A destination as GNUInstallDirs resolves one, but against the install-time
# prefix: an absolute one stays, a relative one lies under the prefix, and
# the prefix /usr keeps its configuration in /etc.
function(pelmor_installed_dir dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(dir STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set(${out} "/etc" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

function(pelmor_install_config)
  cmake_parse_arguments(PARSE_ARGV 0 arg ""
    "INI;UNIT_TEMPLATE;SOCKET_TEMPLATE;METRICS_UNIT_TEMPLATE;INSTANCE_HEAD;INSTANCE_RUNTIME_PREFIX;SHIP_UNIT_TEMPLATE;STAGE;SBINDIR;BINDIR;SYSCONFDIR;UNITDIR" "")
  pelmor_installed_dir("${arg_SBINDIR}" PELMOR_UNIT_SBINDIR)
  pelmor_installed_dir("${arg_BINDIR}" PELMOR_UNIT_BINDIR)
  pelmor_installed_dir("${arg_SYSCONFDIR}" PELMOR_UNIT_SYSCONFDIR)
  pelmor_installed_dir("${arg_UNITDIR}" unit_dir)

  # An operator's edited parameter file is never overwritten.
  set(ini_dir "${PELMOR_UNIT_SYSCONFDIR}/pelmor")
  if(EXISTS "$ENV{DESTDIR}${ini_dir}/pelmor.ini")
    message(STATUS "Kept: $ENV{DESTDIR}${ini_dir}/pelmor.ini")
  else()
    file(INSTALL "${arg_INI}" DESTINATION "${ini_dir}")
  endif()

  # The socket listens on the port of the parameter file installed beside it.
  file(STRINGS "${arg_INI}" port_line REGEX "^UPLPORT *= *[0-9]+")
  string(REGEX MATCH "[0-9]+" PELMOR_UNIT_PORT "${port_line}")
  if(NOT PELMOR_UNIT_PORT)
    message(FATAL_ERROR "${arg_INI}: no UPLPORT for pelmor.socket")
  endif()

  configure_file("${arg_UNIT_TEMPLATE}" "${arg_STAGE}/pelmor.service" @ONLY)
  configure_file("${arg_SOCKET_TEMPLATE}" "${arg_STAGE}/pelmor.socket" @ONLY)
  file(INSTALL "${arg_STAGE}/pelmor.service" "${arg_STAGE}/pelmor.socket"
       DESTINATION "${unit_dir}")

  # The template pelmor@.service is pelmor.service with the instance's own
  # parameter file, folders and named objects: the hardening stays one text.
  file(READ "${arg_STAGE}/pelmor.service" unit)
  string(FIND "${unit}" "[Unit]" body_at)
  string(SUBSTRING "${unit}" ${body_at} -1 unit)
  foreach(change
      "Description=PELMOR upload receiver\n|Description=PELMOR upload receiver, instance %i\n"
      "PELMOR_RUNTIME_DIR=/run/pelmor\n|PELMOR_RUNTIME_DIR=${arg_INSTANCE_RUNTIME_PREFIX}%i\n"
      "RuntimeDirectory=pelmor\n|RuntimeDirectory=pelmor-%i\n"
      "StateDirectory=pelmor\n|StateDirectory=pelmor/%i\n"
      "WorkingDirectory=/var/lib/pelmor\n|WorkingDirectory=/var/lib/pelmor/%i\n"
      "${PELMOR_UNIT_SYSCONFDIR}/pelmor/pelmor.ini|${PELMOR_UNIT_SYSCONFDIR}/pelmor/%i.ini")
    string(REPLACE "|" ";" change "${change}")
    list(GET change 0 from)
    list(GET change 1 to)
    string(FIND "${unit}" "${from}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "pelmor.service: no line \"${from}\" for the template")
    endif()
    string(REPLACE "${from}" "${to}" unit "${unit}")
  endforeach()
  file(READ "${arg_INSTANCE_HEAD}" head)
  file(WRITE "${arg_STAGE}/pelmor@.service" "${head}${unit}")
  file(INSTALL "${arg_STAGE}/pelmor@.service" DESTINATION "${unit_dir}")

  # The metrics for the node exporter's textfile collector; its timer has no paths.
  configure_file("${arg_METRICS_UNIT_TEMPLATE}" "${arg_STAGE}/pelmor-metrics.service" @ONLY)
  file(INSTALL "${arg_STAGE}/pelmor-metrics.service" DESTINATION "${unit_dir}")

  # The shipper's unit, where pelmor-ship is built.
  if(arg_SHIP_UNIT_TEMPLATE)
    configure_file("${arg_SHIP_UNIT_TEMPLATE}" "${arg_STAGE}/pelmor-ship.service" @ONLY)
    file(INSTALL "${arg_STAGE}/pelmor-ship.service" DESTINATION "${unit_dir}")
  endif()
endfunction()
