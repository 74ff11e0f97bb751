#!/bin/sh
# Installs into a scratch prefix and packs a .deb, and checks what both hold.
# usage: check_install.sh BUILD_DIR MAN_PAGE
set -eu
build=$1 page=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
[ -x "$tmp/prefix/bin/quarvel" ] || fail "no bin/quarvel"
[ -f "$tmp/prefix/share/man/man1/quarvel.1" ] || fail "no share/man/man1/quarvel.1"
"$tmp/prefix/bin/quarvel" >/dev/null && fail "installed quarvel accepted no arguments"

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
deb=$(ls "$tmp"/quarvel_*.deb) || fail "no .deb produced"
contents=$(dpkg-deb -c "$deb")
echo "$contents" | grep -q '\./usr/bin/quarvel$' || fail "deb lacks /usr/bin/quarvel"
echo "$contents" | grep -q '\./usr/share/man/man1/quarvel.1' || fail "deb lacks the manual page"
[ "$(dpkg-deb -f "$deb" Package)" = quarvel ] || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no libc6 dependency"
echo "installed and packed: $(basename "$deb")"
