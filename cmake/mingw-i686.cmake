# Cross build for 32-bit Windows with mingw-w64's posix-thread compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KELVARING_MINGW_TRIPLET i686-w64-mingw32)
set(KELVARING_WINE_NAMES wine)
# The buffers are filled and swept with SSE2 stores, which every x86 processor
# of this century has.
set(CMAKE_CXX_FLAGS_INIT "-msse2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
