#!/bin/sh
# The Windows zip, built by cpack and unpacked: the program, the commented
# settings file beside it (which it reads), the README and the manual as
# text. Arguments: the build folder, the version, the script that runs a
# program under Wine.
set -eu
build=$1 version=$2 wine_run=$3
command -v unzip >/dev/null || { echo "skipped: unzip is not installed"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G ZIP -B "$scratch/out" >/dev/null
zip=$(ls "$scratch"/out/kelvaring-"$version"-windows-*.zip)
unzip -q "$zip" -d "$scratch/unpacked"
folder=$(ls -d "$scratch"/unpacked/kelvaring-"$version"-windows-*)
for file in kelvaring.exe kelvaring.ini README.txt WINDOWS.txt MANUAL.txt; do
  [ -s "$folder/$file" ] || { echo "missing from the zip: $file"; exit 1; }
done
grep -q '^\[tweak\]' "$folder/kelvaring.ini"
grep -q 'KELVARING' "$folder/MANUAL.txt"
if grep -q "$(printf '\033')" "$folder/MANUAL.txt"; then echo "escape sequences in MANUAL.txt"; exit 1; fi
"$wine_run" "$folder/kelvaring.exe" --version | grep -q "^Kelvaring $version "
# The settings file beside it is the one the program names.
"$wine_run" "$folder/kelvaring.exe" --help | grep -q '^Settings file: .*/kelvaring\.ini$'
echo "package $(basename "$zip") holds a working program"
