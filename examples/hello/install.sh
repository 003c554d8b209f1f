#!/bin/sh
# Post-install step of the hello package.  kapsa runs it after the whole
# payload has been unpacked, with every feature item of the archive in the
# environment (NAME, VFYFS, FSSUB, ...).
set -e
here=$(pwd)
echo "install.sh: payload name NAME=${NAME:-}"
echo "install.sh: unpacked into $here/hello"
"$here/hello/bin/hello"
