#!/bin/sh
# The Debian package as cpack makes it from this build: its files, its
# control fields, a stripped binary that links the C library and tells the
# package's version, units that run the installed binary, and lintian
# without error.
set -u
build=$1 here=$(cd "$(dirname "$0")" && pwd)
command -v dpkg-deb >/dev/null || { echo "SKIPPED: dpkg-deb is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/vintrel_*_*.deb) || fail "no vintrel_<version>_<arch>.deb"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | diff "$here/package-files.txt" - || fail "files differ"
for field in Section:net Depends:libc6 Depends:procps Priority:optional; do
    dpkg-deb -f "$deb" "${field%%:*}" | grep -qw "${field#*:}" || fail "$field"
done
dpkg-deb -x "$deb" "$work/root"
readelf -d "$work/root/usr/bin/vintrel" | grep -q 'NEEDED.*libc\.so' || fail "not linked against libc"
readelf -S "$work/root/usr/bin/vintrel" | grep -q '\.symtab' && fail "not stripped"
for unit in vintrel-update@.service vintrel-watch@.service; do
    grep -q '^ExecStart=/usr/bin/vintrel -t SET ' "$work/root/usr/lib/systemd/system/$unit" || fail "ExecStart of $unit"
done
version=$(dpkg-deb -f "$deb" Version)
[ "$("$work/root/usr/bin/vintrel" --version)" = "vintrel ${version%-*}" ] || fail "--version is not the package's $version"
zcat "$work/root/usr/share/man/man1/vintrel.1.gz" | grep -q "^\.TH VINTREL 1 .* \"vintrel ${version%-*}\"" ||
    fail "the manual page does not name version ${version%-*}"
command -v lintian >/dev/null || { echo "SKIPPED: lintian is not installed"; exit 77; }
out=$(lintian --no-cfg --fail-on error "$deb" 2>&1) || { echo "$out"; fail "lintian"; }
printf '%s\n' "$out" | grep -v 'running with root privileges' || true
