# The 32-bit Windows DLL (g++-mingw-w64-i686-posix), the width of the hosts
# the interface was first made for.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(STRANDEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
