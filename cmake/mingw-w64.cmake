# Cross-building the Windows DLL on Debian with mingw-w64, included by the
# toolchain file of each width once it has set CMAKE_SYSTEM_PROCESSOR and
# STRANDEL_MINGW_TRIPLE (g++-mingw-w64-*-posix: the posix thread model, which
# std::thread, std::mutex and std::condition_variable need).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${STRANDEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STRANDEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${STRANDEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STRANDEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLL and the test programs import only system DLLs: the compiler's own
# runtime is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# C99 printf everywhere (%zu, %lld, %ls in wide formats), as on Linux; the
# trace formats are checked against it.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# 64-bit test programs run under wine64 (Debian puts it outside PATH).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  find_program(STRANDEL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(STRANDEL_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${STRANDEL_WINE64})
  endif()
endif()
