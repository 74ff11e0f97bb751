#!/bin/sh
# Installs into a scratch prefix and packs a .deb, and checks what both hold and that Debian's
# checker finds nothing to say against the package.
# usage: check_install.sh BUILD_DIR MAN_PAGE VERSION
set -eu
build=$1 page=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
head -n 1 "$page" | grep -q "\"quarvel $version\"" || fail "man page header lacks version $version"
[ "$("$build/quarvel" --version)" = "quarvel $version" ] || fail "--version does not say $version"

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
[ -x "$tmp/prefix/bin/quarvel" ] || fail "no bin/quarvel"
cmp -s "$tmp/prefix/share/man/man1/quarvel.1" "$page" || fail "no plain share/man/man1/quarvel.1"
[ "$(find "$tmp/prefix" -type f | wc -l)" = 2 ] || fail "a plain install holds more than two files"
"$tmp/prefix/bin/quarvel" >/dev/null && fail "installed quarvel accepted no arguments"

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
deb=$(ls "$tmp"/quarvel_*.deb) || fail "no .deb produced"
contents=$(dpkg-deb -c "$deb")
for f in bin/quarvel share/man/man1/quarvel.1.gz share/doc/quarvel/copyright \
         share/doc/quarvel/changelog.gz; do
  echo "$contents" | grep -q "\./usr/$f\$" || fail "deb lacks /usr/$f"
done
echo "$contents" | grep -q 'quarvel\.1$' && fail "deb holds an uncompressed manual page"
[ "$(dpkg-deb -f "$deb" Package)" = quarvel ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no libc6 dependency"
# As root lintian first says that it would rather not run as root: that line is no finding.
findings=$(lintian --pedantic "$deb" 2>&1 | grep -v 'running with root privileges') || true
[ -z "$findings" ] || fail "lintian: $findings"
echo "installed and packed: $(basename "$deb"); lintian has nothing to say"
