#!/usr/bin/env bash
# deb_build_test.sh SOURCE OUT_DIR
#
# The Debian package a packager takes: built twice from the tree SOURCE as
# scripts/package builds it (scripts/build-deb), in two directories of other
# names and depths, at two times, in two time zones and with two umasks, the
# two builds' packages are byte for byte the same; and lintian, at every
# level, has nothing to say of them (debian/nictate.lintian-overrides holds
# what it may not say, and why).
#
# Where the package's Build-Depends or lintian are missing it says so and
# exits 77 (skipped), or 1 in CI (CI=true).
set -uo pipefail

source=$(cd "${1:?source tree}" && pwd)
out=${2:?output directory}
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

skip() {
  echo "Debian package build test skipped: $*"
  [[ ${CI:-} == true ]] && { echo "FAIL: CI must run it"; exit 1; }
  exit 77
}
command -v dpkg-buildpackage >/dev/null || skip "no dpkg-buildpackage (dpkg-dev)"
command -v lintian >/dev/null || skip "no lintian"
(cd "$source" && dpkg-checkbuilddeps) 2>"$out/builddeps" ||
  skip "the Build-Depends are missing (scripts/setup installs them): $(cat "$out/builddeps")"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

first=$out/first
second=$out/second/in/a/deeper/directory
(umask 022 && TZ=UTC bash "$source/scripts/build-deb" "$source" "$first") ||
  { echo "FAIL: the first build failed"; exit 1; }
# Some seconds later, in the time zone where the date is furthest ahead.
sleep 2
(umask 002 && TZ=Pacific/Kiritimati bash "$source/scripts/build-deb" "$source" "$second") ||
  { echo "FAIL: the second build failed"; exit 1; }

shopt -s nullglob
debs=("$first"/*.deb)
((${#debs[@]} > 0)) || fail "no package built"
for deb in "${debs[@]}"; do
  name=$(basename "$deb")
  if [[ ! -f $second/$name ]]; then
    fail "the second build made no $name"
  elif ! cmp -s "$deb" "$second/$name"; then
    fail "$name differs between the two builds; what they hold:"
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$second/$name")
    diff <(dpkg-deb -I "$deb") <(dpkg-deb -I "$second/$name")
  fi
done

lintian=$(cd "$first" && lintian -i -I -E --pedantic -L '>=pedantic' ./*.changes 2>&1)
echo "$lintian"
grep -Eq '^[EWIPX]: ' <<<"$lintian" && fail "lintian has the above to say"

if ((failures > 0)); then
  exit 1
fi
echo "the packages $(cd "$first" && echo *.deb): byte for byte the same twice, and lintian clean"
