#!/usr/bin/env bash
# The probe of wine_session.sh decides whether the Wine tests run: checked on
# any machine with stand-ins for wine on PATH, one that fails as Wine does on
# a kernel without 32-bit programs and one that runs.
#
#   probe_test.sh WINE_SESSION_SH WINE_E2E_TESTS
set -uo pipefail
session=${1:?wine_session.sh}
tests=${2:?wine_e2e_tests}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The stand-ins: a wine that cannot exec its 32-bit loader, and one that can.
mkdir -p "$work/noexec" "$work/runs"
cat >"$work/noexec/wine" <<'EOF'
#!/bin/sh
echo "/usr/bin/wine: 43: exec: /usr/lib/wine/wine: Exec format error" >&2
exit 126
EOF
cat >"$work/runs/wine" <<'EOF'
#!/bin/sh
echo "wine-8.0 (stand-in)"
EOF
chmod +x "$work/noexec/wine" "$work/runs/wine"
reason="this machine cannot run Wine's 32-bit programs: /usr/bin/wine: 43: exec: /usr/lib/wine/wine: Exec format error (exit status 126)"

# Where Wine cannot run: the probe, the session's start and stop are
# skipped (77), the probe's own error is kept, and nothing is started.
state=$work/state
output=$(PATH=$work/noexec:$PATH bash "$session" probe "$state")
status=$?
[[ $status == 77 ]] || fail "probe with a wine that cannot run: status $status, not 77"
[[ $(cat "$state/unavailable" 2>/dev/null) == "$reason" ]] ||
  fail "probe kept '$(cat "$state/unavailable" 2>/dev/null)', not the error"
[[ $output == "Windows tests under Wine skipped: $reason" ]] || fail "probe said '$output'"

output=$(PATH=$work/noexec:$PATH bash "$session" start "$state" "$work/prefix")
status=$?
[[ $status == 77 ]] || fail "start with a wine that cannot run: status $status, not 77"
[[ ! -e $state/xvfb.pid && ! -e $work/prefix ]] || fail "start went on after the probe failed"
PATH=$work/noexec:$PATH bash "$session" stop "$state" "$work/prefix" >/dev/null
status=$?
[[ $status == 77 ]] || fail "stop without a session: status $status, not 77"

# ... and every Wine test reports itself skipped, none failed or passed.
output=$("$tests" --win-build="$work/none" --prefix="$work/prefix" --state="$state" 2>&1)
status=$?
listed=$("$tests" --gtest_list_tests | grep -c '^  ')
skipped=$(grep -o '^\[  SKIPPED \] WineTest\.[A-Za-z0-9_]*' <<<"$output" | sort -u | wc -l)
[[ $status == 0 ]] || fail "the Wine tests ended with status $status"
[[ $listed -gt 0 && $skipped == "$listed" ]] || fail "$skipped of $listed Wine tests skipped"
grep -q 'Exec format error' <<<"$output" || fail "the tests do not say why they were skipped"
grep -qE '^\[ +(OK|FAILED) +\] WineTest\.' <<<"$output" && fail "a Wine test ran: $output"

# Where Wine runs: the probe passes and leaves no reason to skip behind.
output=$(PATH=$work/runs:$PATH bash "$session" probe "$state")
status=$?
[[ $status == 0 ]] || fail "probe with a wine that runs: status $status"
[[ ! -e $state/unavailable ]] || fail "probe with a wine that runs left $state/unavailable"
[[ $output == "Wine runs here: wine-8.0 (stand-in)" ]] || fail "probe said '$output'"

if [[ $failures != 0 ]]; then
  exit 1
fi
echo "probe decisions: skip where Wine cannot run, run where it can"
