#!/bin/sh
# Builds the Debian package from the build folder, unpacks it into a
# temporary folder and runs what it holds.
set -u
build=$1
version=$2
for tool in cpack dpkg-deb dpkg-shlibdeps file readelf man; do
  if ! command -v $tool >/dev/null 2>&1; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done
work=$(mktemp -d /tmp/kelvaring-package-XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*"
  exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack failed: $(cat "$work/cpack.log")"
deb="$work/out/kelvaring_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb: $(ls "$work/out")"
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  *libc6*) ;;
  *) fail "dependencies not computed: '$depends'" ;;
esac
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"

root="$work/root/usr"
answer=$("$root/bin/kelvaring" --version) || fail "kelvaring --version failed: $answer"
case "$answer" in
  "Kelvaring $version (build "*")") ;;
  *) fail "unexpected version line: '$answer'" ;;
esac
[ "$(readlink "$root/lib/kelvaring/kelvaring.ini")" = /etc/kelvaring.ini ] ||
  fail "the settings file does not lead to /etc/kelvaring.ini"
help=$("$root/bin/kelvaring" --help) || fail "kelvaring --help failed: $help"
case "$help" in
  *"kelvaring.ini
  which links to /etc/kelvaring.ini"*) ;;
  *) fail "the help does not say that its settings file links to /etc/kelvaring.ini: $help" ;;
esac
[ -f "$root/share/doc/kelvaring/kelvaring.ini" ] && [ -f "$root/share/doc/kelvaring/README.md" ] ||
  fail "documents missing: $(ls "$root/share/doc/kelvaring")"
grep -q '^ExecStart=/usr/bin/kelvaring ' "$root/share/doc/kelvaring/kelvaring.service" ||
  fail "the packaged unit does not start /usr/bin/kelvaring: $(grep "^ExecStart=" "$root/share/doc/kelvaring/kelvaring.service")"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/share/man/man1/kelvaring.1" 2>&1 >/dev/null)
[ $? -eq 0 ] && [ -z "$warnings" ] || fail "man page: $warnings"
echo "package $(basename "$deb"): Depends: $depends; $answer"
