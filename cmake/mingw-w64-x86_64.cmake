# Cross-building the Windows programs on Debian with its x86_64 mingw-w64
# toolchain (the posix thread model, which std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUIL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUIL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUIL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUIL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIL_MINGW_TRIPLE})
# Programs come from the build machine; libraries and headers only from the
# target's root.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run the programs through Wine.
find_program(QUIL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QUIL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUIL_WINE64})
endif()
