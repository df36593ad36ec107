#!/usr/bin/env bash
# setup_test.sh SOURCE
#
# scripts/setup and scripts/setup-windows against stand-ins for apt-get,
# dpkg, dpkg-query and sudo on PATH, on a machine with nothing installed:
# - a mirror whose i386 index of the security suite cannot be fetched:
#   apt-get update fails as apt-get does there, and wine32:i386 cannot be
#   installed; both setups go on, the Wine part skipped with the reason in
#   its note, and the i386 architecture added for it removed again;
# - a healthy update, but wine32:i386 cannot be installed: the same skip;
#   once it can, the note goes;
# - a required package cannot be installed: setup fails and names it;
# - --no-wine never touches the architectures.
# shellcheck disable=SC2015 # "A && B || fail": it fails where either does
set -uo pipefail
source=${1:?source tree}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# What apt-get update -qq says while the mirror syncs its i386 index.
update_error="E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
cat >"$work/update-failure" <<END
$update_error
   Hashes of expected file:
    - Filesize:376004 [weak]
    - SHA256:5aa58ea44688978d17b28ffab762d89251fefc64aa2548ac43e228e5fd91d903
   Release file created at: Mon, 07 Dec 2026 23:22:40 +0000
E: Some index files failed to download. They have been ignored, or old ones used instead.
END

# The stand-ins keep their state in $FAKE: installed (a package a line),
# architectures, calls (each apt-get and dpkg command line). $FAKE_UPDATE=fail
# fails every update; $FAKE_CANNOT lists packages that cannot be installed.
bin=$work/bin
mkdir -p "$bin"
cat >"$bin/apt-get" <<'END'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
args=()
while (($#)); do
  case $1 in -o) shift 2 ;; -*) shift ;; *) args+=("$1"); shift ;; esac
done
case ${args[0]} in
  update)
    [[ ${FAKE_UPDATE:-} != fail ]] && exit 0
    cat "$FAKE/../update-failure" >&2
    exit 100
    ;;
  install)
    for p in "${args[@]:1}"; do
      if [[ " ${FAKE_CANNOT:-} " == *" $p "* ]]; then
        if [[ $p == *:i386 ]]; then
          echo "E: Unable to correct problems, you have held broken packages." >&2
        else
          echo "E: Unable to locate package $p" >&2
        fi
        exit 100
      fi
    done
    printf '%s\n' "${args[@]:1}" >>"$FAKE/installed"
    ;;
esac
END
cat >"$bin/dpkg-query" <<'END'
#!/usr/bin/env bash
grep -qxF "${!#}" "$FAKE/installed" 2>/dev/null || exit 1
echo "install ok installed"
END
cat >"$bin/dpkg" <<'END'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE/calls"
case $1 in
  --print-foreign-architectures) cat "$FAKE/architectures" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE/architectures" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$FAKE/architectures" ;;
esac
END
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

# machine NAME: a fresh machine for the stand-ins. run SCRIPT ARGS...: a
# setup script run there, its output in $output and its status in $status.
machine() {
  export FAKE=$work/$1 NICTATE_SETUP_NOTES=$work/$1/notes
  mkdir -p "$FAKE"
  : >"$FAKE/installed"
  : >"$FAKE/calls"
}
run() {
  status=0
  output=$(PATH=$bin:$PATH NICTATE_APT_UPDATE_DELAY=0 bash "$source/scripts/$1" "${@:2}" 2>&1) ||
    status=$?
}
installed() { grep -qxF "$1" "$FAKE/installed"; }
note() { cat "$NICTATE_SETUP_NOTES/wine" 2>/dev/null; }

# --- The mirror without its i386 index ----------------------------------------
machine broken
export FAKE_UPDATE=fail FAKE_CANNOT="wine32:i386"
run setup-windows
[[ $status == 0 ]] || fail "setup-windows on the broken mirror ended with status $status: $output"
reason="scripts/setup-windows could not install wine wine32:i386 wine64: E: Unable to correct problems, you have held broken packages.; apt-get update had failed: $update_error"
[[ $(note) == "$reason" ]] || fail "the note of Wine is '$(note)', not the reason"
grep -qxF "scripts/setup-windows: skipped Wine, and with it the Windows tests under Wine. $reason" \
  <<<"$output" || fail "setup-windows did not say why it skipped Wine: $output"
grep -qxF "scripts/setup-windows: apt-get update failed (try 1 of 3): $update_error; trying again in 0 s" \
  <<<"$output" || fail "setup-windows did not show the failed update: $output"
[[ $output == *"$(cat "$work/update-failure")"* ]] || fail "apt-get's last words were not shown"
[[ $(grep -c '^apt-get .* update' "$FAKE/calls") == 6 ]] ||
  fail "not 3 updates before and 3 after adding i386: $(grep update "$FAKE/calls")"
installed g++-mingw-w64-i686 && installed icoutils || fail "the cross compiler was not installed"
installed wine && fail "wine was installed without its 32-bit half"
grep -q '^dpkg --add-architecture i386$' "$FAKE/calls" || fail "i386 was never added"
[[ ! -s $FAKE/architectures ]] || fail "the i386 added for Wine stayed: $(cat "$FAKE/architectures")"
grep -q -- '-o DPkg::Lock::Timeout=' <<<"$(grep install "$FAKE/calls")" ||
  fail "apt-get install does not wait for the lock"

run setup
[[ $status == 0 ]] || fail "setup on the broken mirror ended with status $status: $output"
installed cmake && installed libxtst-dev && installed debhelper ||
  fail "setup installed only $(cat "$FAKE/installed")"

# --- A healthy update, but no wine32:i386; then one --------------------------
machine healthy
export FAKE_UPDATE="" FAKE_CANNOT="wine32:i386"
echo i386 >"$FAKE/architectures"
run setup-windows
[[ $status == 0 ]] || fail "setup-windows without wine32 ended with status $status: $output"
[[ $(note) == "scripts/setup-windows could not install wine wine32:i386 wine64: E: Unable to correct problems, you have held broken packages." ]] ||
  fail "the note of Wine is '$(note)'"
[[ $(cat "$FAKE/architectures") == i386 ]] || fail "an i386 added before the setup went"
export FAKE_CANNOT=""
run setup-windows
[[ $status == 0 ]] && installed wine32:i386 || fail "Wine was not installed once it could be: $output"
[[ -z $(note) ]] || fail "the note of Wine stayed after Wine was installed"

# --- A required package that cannot be installed ----------------------------
machine required
export FAKE_CANNOT="libxtst-dev"
run setup
[[ $status == 1 ]] || fail "setup without libxtst-dev ended with status $status"
[[ $(tail -n 1 <<<"$output") == "scripts/setup: FAILED: cannot install libxtst-dev, needed to build and test nictate" ]] ||
  fail "setup without libxtst-dev did not name it last: $output"
installed cmake || fail "the packages that can be installed were not"

# --- --no-wine: the cross compiler only ---------------------------------------
machine crossonly
export FAKE_CANNOT=""
run setup-windows --no-wine
[[ $status == 0 ]] && installed g++-mingw-w64-i686 || fail "setup-windows --no-wine: $output"
grep -q -- '-architecture' "$FAKE/calls" && fail "setup-windows --no-wine touched the architectures"
installed wine && fail "setup-windows --no-wine installed Wine"

if ((failures > 0)); then
  exit 1
fi
echo "setup: a failed update and a missing wine32 go on and say why; a missing required package fails"
