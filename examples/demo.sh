#!/bin/sh
# make demo: ship examples/hello as a self-extracting installer, run the
# installer in a fresh directory, and list it.
set -eu
kapsa=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kapsa-demo.XXXXXX)

echo "== 1. build: a tar of examples/hello becomes hello.run"
(cd "$examples" && tar cf "$work/hello.tar" hello)
cd "$work"
"$kapsa" -a -C "kapsa demo: the hello package" hello.tar > hello.run
chmod +x hello.run
ls -l hello.run

echo
echo "== 2. the archive is a program: its own usage"
./hello.run -h || true

echo
echo "Files are in $work"
