# Cross build for 32-bit Windows with mingw-w64 on Debian (packages g++-mingw-w64-i686,
# mingw-w64-tools); Windows programs run under Wine (CTest uses the emulator).
# The posix thread model of the mingw compilers gives the core std::mutex/std::thread;
# the server links everything statically, so no extra runtime DLL is needed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(LUMO_MINGW_TRIPLE i686-w64-mingw32)

find_program(LUMO_MINGW_CC NAMES ${LUMO_MINGW_TRIPLE}-gcc-posix ${LUMO_MINGW_TRIPLE}-gcc)
find_program(LUMO_MINGW_CXX NAMES ${LUMO_MINGW_TRIPLE}-g++-posix ${LUMO_MINGW_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${LUMO_MINGW_CC})
set(CMAKE_CXX_COMPILER ${LUMO_MINGW_CXX})
set(CMAKE_RC_COMPILER ${LUMO_MINGW_TRIPLE}-windres)
set(LUMO_WIDL ${LUMO_MINGW_TRIPLE}-widl CACHE STRING "IDL compiler")
set(LUMO_WIDL_TARGET --win32 CACHE STRING "widl target switch")

set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
