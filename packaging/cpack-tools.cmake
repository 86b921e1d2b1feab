# Read by cpack before each generator (CPACK_PROJECT_CONFIG_FILE). CPackDeb
# makes a package without file or dpkg-shlibdeps anyway, one whose Depends
# lacks every library the programs link: it would install and then not run.
# Without them cpack stops here instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  foreach(tool file dpkg-shlibdeps)
    find_program(pelmor_tool_${tool} ${tool})
    if(NOT pelmor_tool_${tool})
      message(FATAL_ERROR "Fehler: ${tool} fehlt (Debian-Pakete file dpkg-dev): ohne es blieben "
                          "die Abhaengigkeiten des Pakets unberechnet")
    endif()
  endforeach()
endif()
