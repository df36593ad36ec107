#!/usr/bin/env bash
# Builds nictate as against a libX11 older than 1.7, which has no
# XSetIOErrorExitHandler: a header put before the real one renames the
# function, so any use of it (or a build that assumes it) fails to link.
# The build must find it missing and do without it.
# Usage: old_libx11_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work/include/X11"
cat >"$work/include/X11/Xlib.h" <<'HEADER'
#define XSetIOErrorExitHandler XSetIOErrorExitHandler_is_not_in_this_libX11
#include_next <X11/Xlib.h>
HEADER
cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
  -DNICTATE_BENCH=OFF -DNICTATE_WERROR=ON -DCMAKE_CXX_FLAGS="-isystem $work/include" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
grep -q "libX11 before 1.7" "$work/configure.log" || {
  echo "the build did not find XSetIOErrorExitHandler missing"
  exit 1
}
cmake --build "$work/build" --target nictate -j2 >"$work/build.log" 2>&1 || {
  tail -n 30 "$work/build.log"
  exit 1
}
echo "built without XSetIOErrorExitHandler"
