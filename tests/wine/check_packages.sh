#!/usr/bin/env bash
# check_packages.sh WIN_BUILD NATIVE_BUILD OUT_DIR
#
# Makes both release archives with CPack, as scripts/package does, and checks
# what a user unpacks: the Windows ZIP holds nictate.exe, thinkgear.dll, the
# README and the licence and nothing else; the Linux archive holds the
# program, the library under its versioned name only in a directory of its
# own (lib/<multiarch>/nictate/), the documents and the simulator when it was
# built, and the unpacked program finds its library and runs. (The Debian
# package is tests/package/deb_install_test.sh's.)
set -euo pipefail

win_build=${1:?Windows build}
native_build=${2:?native build}
out=${3:?output directory}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

rm -rf "$out"
mkdir -p "$out"
cpack --config "$win_build/CPackConfig.cmake" -B "$out/win" >"$out/cpack-win.log" 2>&1 ||
  { cat "$out/cpack-win.log"; exit 1; }
cpack -G TGZ --config "$native_build/CPackConfig.cmake" -B "$out/linux" >"$out/cpack-linux.log" 2>&1 ||
  { cat "$out/cpack-linux.log"; exit 1; }

shopt -s nullglob
zips=("$out"/win/nictate-*-win32.zip)
tars=("$out"/linux/nictate-*-Linux.tar.gz)
[[ ${#zips[@]} == 1 ]] || { echo "FAIL: no single Windows ZIP in $out/win"; exit 1; }
[[ ${#tars[@]} == 1 ]] || { echo "FAIL: no single Linux archive in $out/linux"; exit 1; }
zip=${zips[0]}
tar=${tars[0]}
top=$(basename "$zip" .zip)
echo "$(basename "$zip"):"
zip_list=$(cmake -E tar tf "$zip" | sort)
echo "$zip_list"
want=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/nictate.exe" "$top/thinkgear.dll" | sort)
[[ $zip_list == "$want" ]] || fail "the ZIP holds other files than the program, the DLL, README and LICENSE"

echo "$(basename "$tar"):"
tar_list=$(tar tzf "$tar" | grep -v '/$' | sort)
echo "$tar_list"
top=$(basename "$tar" .tar.gz)
for f in bin/nictate share/doc/nictate/README.md share/doc/nictate/LICENSE; do
  grep -qx "$top/$f" <<<"$tar_list" || fail "the Linux archive has no $f"
done
grep -Eqx "$top/lib/[^/]+/nictate/libthinkgear\.so\.1" <<<"$tar_list" ||
  fail "the Linux archive has no lib/<multiarch>/nictate/libthinkgear.so.1"
if grep -E "^$top/lib/([^/]+/)?[^/]+\.so|/libthinkgear\.so$" <<<"$tar_list"; then
  fail "a library (above) in a shared lib/ directory, or with no version"
fi
if [[ -x $native_build/tools/nictate-sim ]]; then
  grep -qx "$top/bin/nictate-sim" <<<"$tar_list" || fail "the Linux archive has no simulator"
fi

# Unpacked anywhere, the program finds its library (its RUNPATH is
# $ORIGIN/../lib/<multiarch>/nictate), and with no port at all gives up at
# once: the version line, the pause, status 1.
unpacked=$out/unpacked
mkdir -p "$unpacked" "$out/no-ports"
tar xzf "$tar" -C "$unpacked"
status=0
(cd "$out" && NICTATE_PORTS=$out/no-ports "$unpacked/$top/bin/nictate" </dev/null \
  >"$out/run.out" 2>"$out/run.err") || status=$?
head -n 1 "$out/run.out" | grep -q '^ThinkGear DLL version: [0-9]*$' ||
  fail "the unpacked program did not start: $(cat "$out/run.err")"
[[ $status == 1 ]] || fail "the unpacked program ended with status $status, not 1"

if ((failures > 0)); then
  exit 1
fi
echo "both archives checked"
