# Cross build for 64-bit Windows with mingw-w64's posix-thread compilers
# (the win32-thread ones lack std::thread and std::mutex). Tests run under
# wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELVARING_MINGW_TRIPLET x86_64-w64-mingw32)
set(KELVARING_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
