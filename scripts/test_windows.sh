# The Windows stage of scripts/test.sh, sourced by it: windows_stages builds
# the program for 64-bit Windows with mingw-w64 and runs its tests under
# Wine, then the end-to-end tests of its kelvaring.exe (from the plain build
# tree), then the 32-bit build, tested where 32-bit Wine is installed. It is
# left out, saying why, where the cross compiler or Wine is not installed.

windows_stages() {  # the plain build's folder
  local plain=$1 wine=/usr/lib/wine/wine64
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine" ]; then
    echo "skipped: Windows build (needs g++-mingw-w64-x86-64-posix and wine64)"
    return 0
  fi
  # One Wine prefix and one Wine server for the whole stage: the first start
  # sets the prefix up, later ones take a fraction of a second.
  export KELVARING_WINE=$wine WINEPREFIX=$PWD/build-windows/wine-prefix WINEDEBUG=-all
  echo "== windows: build-windows, mingw-w64 x86-64, tests under Wine"
  if cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DKELVARING_BENCH=OFF >/dev/null && cmake --build build-windows -j"$jobs"; then
    cmake/wine_run.sh wineboot >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -p || true
    count_tests windows build-windows
    # The end-to-end tests of kelvaring.exe run from Linux, in the plain tree.
    echo "== wine: kelvaring.exe end to end, from $plain"
    if cmake -S . -B "$plain" -DKELVARING_WINDOWS_EXECUTABLE="$PWD/build-windows/kelvaring.exe" >/dev/null &&
       cmake --build "$plain" -j"$jobs" --target kelvaring_wine_e2e; then
      count_tests wine "$plain" -L wine
    else
      echo "the build failed"
      add_counts wine 0 1 0
    fi
  else
    echo "the build failed"
    add_counts windows 0 1 0
  fi
  # 32-bit: its tests run where 32-bit Wine (wine32:i386) is installed.
  if command -v i686-w64-mingw32-g++-posix >/dev/null; then
    local tests=OFF
    [ -x /usr/lib/wine/wine ] && tests=ON
    echo "== windows32: build-windows32, mingw-w64 i686 (tests: $tests)"
    if cmake -S . -B build-windows32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DKELVARING_BENCH=OFF -DKELVARING_TESTS=$tests >/dev/null && cmake --build build-windows32 -j"$jobs"; then
      [ $tests = ON ] && count_tests windows32 build-windows32
    else
      echo "the build failed"
      add_counts windows32 0 1 0
    fi
  fi
  /usr/lib/wine/wineserver -k || true
}
