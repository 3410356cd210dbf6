#!/bin/sh
# Runs a test program as the unprivileged user "nobody": root reads any file,
# so the permission faults can only be staged without root. Exits 77 (skipped)
# when that cannot be arranged.
[ "$(id -u)" = 0 ] || { echo "not root: the permission cases already ran"; exit 77; }
command -v setpriv >/dev/null || { echo "no setpriv"; exit 77; }
drop="setpriv --reuid=65534 --regid=65534 --clear-groups"
$drop test -x "$1" || { echo "nobody cannot run $1"; exit 77; }
TMPDIR=/tmp exec $drop "$@"
