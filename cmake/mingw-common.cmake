# Shared part of the MinGW-w64 cross-builds for Windows; the including file
# sets PELMOR_MINGW_TRIPLE and PELMOR_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: the default thread model lacks std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${PELMOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELMOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELMOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELMOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# C and C++ runtimes and winpthread linked in, so a Windows machine needs
# nothing but its own system DLLs and nevtar.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs (and GoogleTest's discovery) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${PELMOR_WINE_LOADER})
