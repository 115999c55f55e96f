# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 compilers, POSIX thread model
# (the Win32 model has no std::thread or std::future, which Qt needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# MinGW's own root, and whatever the command line adds (the Qt for Windows, for one).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Wine runs the Windows programs on this machine, so that ctest in a Windows build folder runs
# its test programs (add_test puts the emulator before a target's path). WINE names another.
if(NOT "$ENV{WINE}" STREQUAL "")
  find_program(RELVIX_WINE NAMES "$ENV{WINE}" NO_CACHE)
else()
  find_program(RELVIX_WINE NAMES wine wine64 NO_CACHE)
endif()
if(RELVIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${RELVIX_WINE}")
endif()
