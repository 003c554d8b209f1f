#!/bin/sh
# Post-install step of the hello package.  kapsa runs it once the tree is in
# place, with KAPSA_DIR the directory it was installed in and every feature
# item of the archive in the environment (NAME, TREE, ...).
set -e
echo "install.sh: payload name NAME=${NAME:-}"
echo "install.sh: installed in $KAPSA_DIR"
"$KAPSA_DIR/bin/hello"
