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
    "INI;UNIT_TEMPLATE;SOCKET_TEMPLATE;METRICS_UNIT_TEMPLATE;INSTANCE_HEAD;INSTANCE_RUNTIME_PREFIX;SHIP_UNIT_TEMPLATE;SHIP_INSTANCE_HEAD;STAGE;SBINDIR;BINDIR;SYSCONFDIR;UNITDIR" "")
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
  # folders and named objects, and its own parameter file where there is
  # one: the hardening stays one text.
  set(ini "${PELMOR_UNIT_SYSCONFDIR}/pelmor")
  set(pick_ini "/bin/sh -c '[ -e ${ini}/%i.ini ] && exec PROGRAM ${ini}/%i.ini || exec PROGRAM ${ini}/pelmor.ini'")
  string(REPLACE "PROGRAM" "${PELMOR_UNIT_SBINDIR}/pelmor" receiver_start "${pick_ini}")
  pelmor_instance_unit(
    FROM "${arg_STAGE}/pelmor.service" HEAD "${arg_INSTANCE_HEAD}"
    TO "${arg_STAGE}/pelmor@.service"
    CHANGES
      "Description=PELMOR upload receiver\n|Description=PELMOR upload receiver %i\n"
      "PELMOR_RUNTIME_DIR=/run/pelmor\n|PELMOR_RUNTIME_DIR=${arg_INSTANCE_RUNTIME_PREFIX}%i\n"
      "RuntimeDirectory=pelmor\n|RuntimeDirectory=pelmor-%i\n"
      "StateDirectory=pelmor\n|StateDirectory=pelmor/%i\n"
      "WorkingDirectory=/var/lib/pelmor\n|WorkingDirectory=/var/lib/pelmor/%i\n"
      "ExecStart=${PELMOR_UNIT_SBINDIR}/pelmor ${ini}/pelmor.ini\n|ExecStart=${receiver_start}\n")
  file(INSTALL "${arg_STAGE}/pelmor@.service" DESTINATION "${unit_dir}")

  # The metrics for the node exporter's textfile collector; its timer has no paths.
  configure_file("${arg_METRICS_UNIT_TEMPLATE}" "${arg_STAGE}/pelmor-metrics.service" @ONLY)
  file(INSTALL "${arg_STAGE}/pelmor-metrics.service" DESTINATION "${unit_dir}")

  # The shipper's units, where pelmor-ship is built: pelmor-ship@NAME ships
  # for pelmor@NAME, from its folder, with a source name of its own unless
  # the parameter file names one.
  if(arg_SHIP_UNIT_TEMPLATE)
    configure_file("${arg_SHIP_UNIT_TEMPLATE}" "${arg_STAGE}/pelmor-ship.service" @ONLY)
    string(REPLACE "PROGRAM" "${PELMOR_UNIT_SBINDIR}/pelmor-ship" ship_start "${pick_ini}")
    pelmor_instance_unit(
      FROM "${arg_STAGE}/pelmor-ship.service" HEAD "${arg_SHIP_INSTANCE_HEAD}"
      TO "${arg_STAGE}/pelmor-ship@.service"
      CHANGES
        "Description=PELMOR shipper: buffer file into NATS JetStream\n|Description=PELMOR shipper of receiver %i: buffer file into NATS JetStream\n"
        "After=pelmor.service |After=pelmor@%i.service "
        "StateDirectory=pelmor\n|StateDirectory=pelmor/%i\n"
        "WorkingDirectory=/var/lib/pelmor\n|WorkingDirectory=/var/lib/pelmor/%i\nEnvironment=PELMOR_SHIP_QUELLE=%l-%i\n"
        "ExecStart=${PELMOR_UNIT_SBINDIR}/pelmor-ship ${ini}/pelmor.ini\n|ExecStart=${ship_start}\n")
    file(INSTALL "${arg_STAGE}/pelmor-ship.service" "${arg_STAGE}/pelmor-ship@.service"
         DESTINATION "${unit_dir}")
  endif()
endfunction()

# Writes TO: HEAD, then FROM from its [Unit] line on with every CHANGES pair
# ("from|to") applied; a "from" that is missing is an error, so the template
# never silently keeps a path of the plain unit.
function(pelmor_instance_unit)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "FROM;HEAD;TO" "CHANGES")
  file(READ "${arg_FROM}" unit)
  string(FIND "${unit}" "[Unit]" body_at)
  string(SUBSTRING "${unit}" ${body_at} -1 unit)
  foreach(change IN LISTS arg_CHANGES)
    string(FIND "${change}" "|" bar)
    string(SUBSTRING "${change}" 0 ${bar} from)
    math(EXPR after "${bar} + 1")
    string(SUBSTRING "${change}" ${after} -1 to)
    string(FIND "${unit}" "${from}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${arg_FROM}: no line \"${from}\" for the template")
    endif()
    string(REPLACE "${from}" "${to}" unit "${unit}")
  endforeach()
  file(READ "${arg_HEAD}" head)
  file(WRITE "${arg_TO}" "${head}${unit}")
endfunction()
