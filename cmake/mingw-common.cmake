# Shared by the mingw-w64 toolchain files, which set KELVARING_MINGW_TRIPLET.
set(CMAKE_C_COMPILER ${KELVARING_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARING_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVARING_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELVARING_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static: without it Wine (and a plain Windows) cannot find libstdc++ and
# libwinpthread beside the program and it exits with c0000135.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Debian keeps the loaders themselves in /usr/lib/wine (/usr/bin/wine is a
# script that picks one).
find_program(KELVARING_WINE NAMES ${KELVARING_WINE_NAMES} PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KELVARING_WINE NAMES ${KELVARING_WINE_NAMES})
if(KELVARING_WINE)
  # Quiet, in a prefix of the build's own unless WINEPREFIX names one.
  set(CMAKE_CROSSCOMPILING_EMULATOR env KELVARING_WINE=${KELVARING_WINE}
      KELVARING_WINE_PREFIX=${CMAKE_BINARY_DIR}/wine-prefix ${CMAKE_CURRENT_LIST_DIR}/wine_run.sh)
endif()
