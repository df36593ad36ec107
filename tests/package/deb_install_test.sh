#!/usr/bin/env bash
# deb_install_test.sh SOURCE OUT_DIR
#
# The Debian package as a user meets it: made from the tree SOURCE as
# scripts/package makes it (scripts/build-deb: dpkg-buildpackage), installed
# with `apt-get install ./nictate_*.deb`, the installed nictate run against the
# installed simulator as far as "connection established" and its first value,
# then purged, after which nothing of it may be left: no file it listed, no
# directory it made.
#
# It changes the system, so it runs only as root, one run at a time on the
# machine (a lock), and only where no nictate package is installed already;
# whatever it installed it purges, also when it fails or is interrupted.
# Where it cannot run it says why and exits 77 (skipped), or 1 in CI
# (CI=true), where it must run. The reason also goes to OUT_DIR/skipped.
set -euo pipefail

source=$(cd "${1:?source tree}" && pwd)
out=${2:?output directory}

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
skip() {
  echo "Debian package test skipped: $*" | tee "$out/skipped"
  if [[ ${CI:-} == true ]]; then
    echo "FAIL: CI must run it"
    exit 1
  fi
  exit 77
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[[ $(id -u) == 0 ]] || skip "not root (it installs into /usr and purges again)"
for tool in apt-get dpkg dpkg-deb dpkg-query dpkg-architecture dpkg-buildpackage; do
  command -v "$tool" >/dev/null || skip "no $tool here (a Debian system with dpkg-dev)"
done
(cd "$source" && dpkg-checkbuilddeps) 2>"$out/builddeps" ||
  skip "the package's Build-Depends are missing (scripts/setup installs them): $(cat "$out/builddeps")"

# One run at a time, whichever tree it comes from.
exec 9>/run/lock/nictate-deb-install-test.lock
flock -w 900 9 || skip "another run of this test held its lock for 15 minutes"
if dpkg-query -W -f='${db:Status-Abbrev}' nictate 2>/dev/null | grep -q '^[^u]'; then
  skip "a nictate package is installed here already; this test installs and purges its own"
fi

work=$(mktemp -d /tmp/nictate-deb-test.XXXXXX)
chmod 755 "$work" # apt's download user reads the package from here
installed_pkgs() {
  dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | awk '$2 == "ii" { print $1 }' | sort
}
installed_pkgs >"$work/packages-before"

pids=()
we_installed=0
cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [[ $we_installed == 1 ]]; then
    echo "cleaning up: purging nictate"
    purge nictate >>"$out/purge.log" 2>&1 || true
  fi
  purge_new_packages || true
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 "$@" </dev/null
}
purge() {
  apt_get purge "$@"
}
# Packages apt installed besides nictate (its dependencies, where they were
# missing) go again, so the machine is left as the test found it.
purge_new_packages() {
  local new
  new=$(installed_pkgs | comm -13 "$work/packages-before" -)
  if [[ -n $new ]]; then
    echo "purging what apt installed with nictate: ${new//$'\n'/ }"
    # shellcheck disable=SC2086 # one package a word
    purge $new >>"$out/purge.log" 2>&1
  fi
}

# The package.
bash "$source/scripts/build-deb" "$source" "$out/deb" >/dev/null ||
  { echo "FAIL: no Debian package built"; exit 1; }
debs=("$out"/deb/nictate_*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || { echo "FAIL: no single nictate_*.deb in $out/deb"; exit 1; }
deb=$(basename "${debs[0]}")
cp "${debs[0]}" "$work/"
echo "$deb:"
dpkg-deb --field "$work/$deb" Package Version Architecture Depends Section Maintainer

# Its paths, and which of its directories the system has already.
dpkg-deb --fsys-tarfile "$work/$deb" | tar -t | sed -e 's|^\./|/|' -e 's|^/$||' | grep . >"$work/paths"
: >"$work/made-dirs"
while IFS= read -r path; do
  if [[ $path == */ ]]; then
    [[ -e $path ]] || echo "${path%/}" >>"$work/made-dirs"
  elif [[ -e $path || -L $path ]]; then
    skip "$path is on this system already and the package would take it"
  fi
done <"$work/paths"

# The layout a user's system gets: the library in the program's own
# directory, under its versioned name only; the licence where Debian wants it.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -qx "/usr/lib/$multiarch/nictate/libthinkgear.so.1" "$work/paths" ||
  fail "no /usr/lib/$multiarch/nictate/libthinkgear.so.1 in the package"
if grep -E '/libthinkgear\.so$|^/usr/lib/([^/]+/)?lib[^/]*\.so' "$work/paths"; then
  fail "the package puts a library (above) into a shared library directory or unversioned"
fi
for f in /usr/bin/nictate /usr/bin/nictate-sim /usr/share/doc/nictate/copyright \
  /usr/share/doc/nictate/changelog.gz /usr/share/doc/nictate/README.md \
  /usr/share/man/man1/nictate.1.gz /usr/share/man/man1/nictate-sim.1.gz \
  /lib/udev/rules.d/70-nictate.rules; do
  grep -qx "$f" "$work/paths" || fail "no $f in the package"
done

# Installed as the README says, as root with no standard input.
we_installed=1
if ! (cd "$work" && apt_get install "./$deb") >"$out/install.log" 2>&1; then
  cat "$out/install.log"
  echo "FAIL: apt-get install ./$deb failed"
  exit 1
fi
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${db:Status-Abbrev}' nictate)"

# The installed programs, with no display (no blink, so nothing clicks): the
# simulator on COM3 of a private port map, nictate scanning up to it.
ports=$work/ports
mkdir -p "$work/run"
/usr/bin/nictate-sim --com 3 --ports "$ports" --seconds 120 </dev/null \
  >"$out/sim.out" 2>"$out/sim.err" &
pids+=($!)
for _ in $(seq 100); do
  grep -q '^nictate-sim: COM3 is ' "$out/sim.out" && break
  sleep 0.1
done
grep -q '^nictate-sim: COM3 is ' "$out/sim.out" ||
  { cat "$out/sim.err"; echo "FAIL: the installed nictate-sim did not publish COM3"; exit 1; }
: >"$out/nictate.out"
(cd "$work/run" && exec env -u DISPLAY NICTATE_PORTS="$ports" /usr/bin/nictate \
  </dev/null >"$out/nictate.out" 2>"$out/nictate.err") &
nictate_pid=$!
pids+=("$nictate_pid")
# "connection established", a mark per packet ('.') or empty read ('z'),
# then the first value: no blink is sent, so the first attention value.
first_value='^connection established[.z]*New attention value: ([0-9]+)\.000000$'
for _ in $(seq 600); do
  # The scan of COM0 to COM2, the program's 10-second wait, the probe, then
  # the values.
  grep -Eq "$first_value" "$out/nictate.out" && break
  kill -0 "$nictate_pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$nictate_pid" 2>/dev/null || true
wait "$nictate_pid" 2>/dev/null || true
line=$(grep -E "$first_value" "$out/nictate.out" | head -n 1 || true)
if [[ -z $line ]]; then
  echo "--- nictate's standard output:"
  cat "$out/nictate.out"
  echo "--- its error stream:"
  cat "$out/nictate.err"
  fail "the installed nictate printed no \"connection established\" and value within 60 s"
else
  head -n 1 "$out/nictate.out" | grep -Eq '^ThinkGear DLL version: [0-9]+$' ||
    fail "the first line is not the library's version: $(head -n 1 "$out/nictate.out")"
  [[ $line =~ $first_value ]]
  value=${BASH_REMATCH[1]}
  echo "the installed nictate: connection established, then attention $value"
  # The value the installed library decoded is one the simulator sent.
  grep -qx "attention $value" "$out/sim.out" ||
    fail "attention $value is no value the simulator sent: $(grep '^attention' "$out/sim.out" | head -n 5)"
fi

# Purged, nothing of it is left.
if ! purge nictate >"$out/purge.log" 2>&1; then
  cat "$out/purge.log"
  fail "apt-get purge -y nictate failed"
fi
we_installed=0
status=$(dpkg-query -W -f='${db:Status-Abbrev}' nictate 2>/dev/null || true)
[[ -z $status || $status == un* ]] || fail "after the purge dpkg still has nictate as '$status'"
while IFS= read -r path; do
  [[ $path == */ ]] && continue
  if [[ -e $path || -L $path ]]; then
    fail "the purge left $path"
  fi
done <"$work/paths"
while IFS= read -r dir; do
  [[ ! -e $dir ]] || fail "the purge left the directory $dir, which the package made"
done <"$work/made-dirs"
shopt -s nullglob
leftovers=(/var/lib/dpkg/info/nictate.*)
[[ ${#leftovers[@]} == 0 ]] || fail "dpkg kept ${leftovers[*]}"

if ((failures > 0)); then
  # What a faulty package left goes, so the machine is as it was.
  while IFS= read -r path; do
    if [[ $path != */ && (-e $path || -L $path) ]]; then rm -f "$path"; fi
  done <"$work/paths"
  sort -r "$work/made-dirs" | while IFS= read -r dir; do
    if [[ -e $dir ]]; then rm -rf "$dir"; fi
  done
  exit 1
fi
echo "the Debian package installed, ran, and purged without a trace"
