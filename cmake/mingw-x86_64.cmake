# Cross-build of the same sources for 64-bit Windows: runs the Wine suites on
# machines whose kernel refuses 32-bit programs (there 32-bit Wine cannot
# start). The 64-bit loader is called directly, since the wine wrapper
# prefers the 32-bit one whenever it is installed.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELMOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(PELMOR_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
