# The Windows programs as the platform loads them, read from their headers:
#   cmake -DOBJDUMP=... -DBIN=... -P windows_binaries.cmake
# pelmor.exe has no console and imports the ten library operations from
# nevtar.dll by ordinal only; the tools are console programs; nothing needs a
# DLL beyond the system's own and nevtar.dll.
cmake_minimum_required(VERSION 3.25)
set(system_dlls KERNEL32.dll msvcrt.dll WS2_32.dll IPHLPAPI.DLL USER32.dll ADVAPI32.dll)
function(headers_of program out)
  execute_process(COMMAND ${OBJDUMP} -p ${BIN}/${program} OUTPUT_VARIABLE text
                  RESULT_VARIABLE result TIMEOUT 60)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${program}: objdump ${result}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

foreach(program pelmor.exe pelmorctl.exe pelmor-send.exe pelmorsvc.exe nevtar.dll)
  headers_of(${program} text)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${text}")
  foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    if(NOT dll IN_LIST system_dlls AND NOT (dll STREQUAL "nevtar.dll" AND program STREQUAL "pelmor.exe"))
      message(SEND_ERROR "${program} needs ${dll}")
    endif()
  endforeach()
  if(program STREQUAL "pelmor.exe")
    string(FIND "${text}" "(Windows GUI)" gui)
    if(gui EQUAL -1)
      message(SEND_ERROR "pelmor.exe is not a program without console")
    endif()
    # The import table's nevtar.dll block: one line per operation, each an
    # ordinal without a name.
    string(REGEX MATCH "DLL Name: nevtar.dll\n[^\n]*\n(([^\n]+\n)+)" block "${text}")
    set(lines "${CMAKE_MATCH_1}")
    # The entry's value is the ordinal flag (the top bit) and the ordinal.
    foreach(ordinal 17 18 19 20 22 23 24 32 34 35)
      math(EXPR hex "${ordinal}" OUTPUT_FORMAT HEXADECIMAL)
      string(REPLACE "0x" "" hex "${hex}")
      if(NOT lines MATCHES "[ \t]80*${hex}[ \t]+[0-9a-f]+[ \t]+<none>")
        message(SEND_ERROR "pelmor.exe does not import ordinal ${ordinal} of nevtar.dll")
      endif()
    endforeach()
    string(REGEX MATCHALL "\n" count "${lines}")
    list(LENGTH count count)
    if(NOT count EQUAL 10)
      message(SEND_ERROR "pelmor.exe imports ${count} entries of nevtar.dll, not 10")
    endif()
  elseif(program MATCHES "\\.exe$")
    string(FIND "${text}" "(Windows CUI)" console)
    if(console EQUAL -1)
      message(SEND_ERROR "${program} is not a console program")
    endif()
  endif()
endforeach()
