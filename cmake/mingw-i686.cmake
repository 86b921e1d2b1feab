# Cross-build for 32-bit Windows (the shipped binaries); tests run under Wine,
# which needs a kernel that runs 32-bit Linux programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELMOR_MINGW_TRIPLE i686-w64-mingw32)
set(PELMOR_WINE_LOADER /usr/bin/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
