#!/bin/sh
# make demo: ship examples/hello as a self-extracting installer, run it in a
# fresh directory, and list it: the three jobs of kapsa in one go.
set -eu
kapsa=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kapsa-demo.XXXXXX)
trap 'cd / && rm -rf "$work"' EXIT

echo "== 1. build: the directory examples/hello becomes the installer hello.run"
cp -R "$examples/hello" "$work/hello"
cd "$work"
echo "\$ kapsa -C 'The hello package' -r 'sh \"\$KAPSA_DIR/install.sh\"' hello/ > hello.run"
"$kapsa" -C "The hello package" -r 'sh "$KAPSA_DIR/install.sh"' hello/ > hello.run
chmod +x hello.run
ls -l hello.run

echo
echo "== 2. extract: run the installer in an empty directory"
mkdir target
cd target
echo "\$ ../hello.run"
../hello.run
cd ..

echo
echo "== 3. list: what the installer holds"
echo "\$ ./hello.run -l"
./hello.run -l

echo
echo "== The files the installer put into the empty directory:"
(cd target && find . | sort)
