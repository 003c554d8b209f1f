#!/bin/sh
# Installs kapsa as make install does (into a scratch DESTDIR), uses the
# installed copy through PATH, uninstalls it, and builds and unpacks the
# Debian package.  Arguments: the build directory and the source directory.
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/kapsa-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

make -s -C "$src" install BUILD="$build" DESTDIR="$work/root" PREFIX=/opt/kapsa >/dev/null
bin=$work/root/opt/kapsa/bin/kapsa
test -x "$bin" || fail "no bin/kapsa"
test -f "$work/root/opt/kapsa/share/man/man1/kapsa.1.gz" || fail "no manual page"
readelf -S "$bin" | grep -q '\.symtab' && fail "bin/kapsa is not stripped"
# Every archive carries the extractor: it stays small (both decoders in it).
test "$(stat -c %s "$bin")" -le 786432 || fail "bin/kapsa is larger than 768 KB"
# The extractor needs nothing but the kernel: no interpreter, no library.
readelf -lW "$bin" | grep -q INTERP && fail "bin/kapsa has a program interpreter"
readelf -d "$bin" | grep -q NEEDED && fail "bin/kapsa needs a shared library"
# The extractor images for --arch: this machine's and, built by make cross,
# aarch64's.
images=$work/root/opt/kapsa/lib/kapsa
cmp "$bin" "$images/kapsa-x86_64" || fail "lib/kapsa/kapsa-x86_64 is not the program"
test -x "$images/kapsa-aarch64" || fail "no lib/kapsa/kapsa-aarch64"

# The zstd compressor is installed beside the images, and --zstd finds it.
test -x "$images/kapsa-zstd" || fail "no lib/kapsa/kapsa-zstd"

# An archive built with the installed copy, found through PATH, extracts.
mkdir "$work/pkg" "$work/out"
echo "installed payload" > "$work/pkg/data.txt"
(cd "$work/pkg" && PATH="$work/root/opt/kapsa/bin:$PATH" kapsa -r 'echo done > post' data.txt > "$work/a.run")
(cd "$work/pkg" && "$bin" --zstd=3 -f 'cat > zdata' data.txt > "$work/z.run")
chmod +x "$work/z.run"
(cd "$work/out" && "$work/z.run" 2>/dev/null)
cmp "$work/out/zdata" "$work/pkg/data.txt" || fail "the zstd payload differs"
chmod +x "$work/a.run"
(cd "$work/out" && "$work/a.run" 2>/dev/null)
cmp "$work/out/data.txt" "$work/pkg/data.txt" || fail "payload differs"
test "$(cat "$work/out/post")" = done || fail "post-install command did not run"

# --arch finds the installed image, and an archive built with it carries it.
(cd "$work/pkg" && "$bin" --arch=aarch64 data.txt > "$work/arm.run")
cmp -n "$(stat -c %s "$images/kapsa-aarch64")" "$work/arm.run" "$images/kapsa-aarch64" ||
  fail "--arch=aarch64 did not copy lib/kapsa/kapsa-aarch64"

make -s -C "$src" uninstall BUILD="$build" DESTDIR="$work/root" PREFIX=/opt/kapsa >/dev/null
test ! -e "$bin" || fail "uninstall left bin/kapsa"
test ! -e "$work/root/opt/kapsa/share/man/man1/kapsa.1.gz" || fail "uninstall left the manual page"
test ! -e "$work/root/opt/kapsa/share/doc/kapsa" || fail "uninstall left the documents"
test ! -e "$images" || fail "uninstall left lib/kapsa"

# The Debian package: its fields, and kapsa -h from an unpacked copy.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
test "$(dpkg-deb -f "$deb" Package)" = kapsa || fail "package name"
test "$(dpkg-deb -f "$deb" Version)" = 1.2 || fail "package version"
dpkg-deb -f "$deb" Maintainer | grep -q . || fail "no maintainer"
test -z "$(dpkg-deb -f "$deb" Depends)" || fail "dependencies: $(dpkg-deb -f "$deb" Depends)"
dpkg -x "$deb" "$work/debroot"
set +e
"$work/debroot/usr/bin/kapsa" -h 2> "$work/usage"
status=$?
set -e
test $status -eq 1 || fail "kapsa -h exited $status"
grep -q '^Usage: .*kapsa \[-huclva\]' "$work/usage" || fail "no usage from the packaged kapsa"
for f in lib/kapsa/kapsa-x86_64 lib/kapsa/kapsa-aarch64 lib/kapsa/kapsa-zstd; do
  test -x "$work/debroot/usr/$f" || fail "no $f in the package"
done
for f in man/man1/kapsa.1.gz doc/kapsa/copyright doc/kapsa/changelog.gz lintian/overrides/kapsa; do
  test -f "$work/debroot/usr/share/$f" || fail "no $f in the package"
done
# lintian finds no error in the package (skipped where it is not installed).
if command -v lintian >/dev/null; then
  errors=$(lintian "$deb" 2>/dev/null | grep '^E:' || true)
  test -z "$errors" || fail "lintian: $errors"
else
  echo "install test: lintian is not installed; the package is not checked with it"
fi
echo "install test: ok"
