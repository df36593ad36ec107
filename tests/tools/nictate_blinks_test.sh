#!/usr/bin/env bash
# nictate-blinks as a user runs it: its report of a recording and of a data
# log with blinks at known times, its picture, and its usage errors; or,
# with --recordings, the share of windows with exactly one blink in the
# shared real recordings (skipped, with status 77, where they are not).
#
#   nictate_blinks_test.sh NICTATE_BLINKS
#   nictate_blinks_test.sh NICTATE_BLINKS --recordings DIR
set -uo pipefail
tool=${1:?nictate-blinks}
recordings=""
if [[ ${2:-} == --recordings ]]; then
  recordings=${3:?recordings directory}
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if [[ -z $recordings ]]; then
  # Ten seconds at 250 samples a second in two columns: an offset of 800 uV
  # with a little 50 Hz hum, and in column 1 blinks of 200 uV (closing in
  # 80 ms, opening in 160 ms) peaking at 1.5, 4.0 and 7.25 s.
  awk 'BEGIN {
    print "ch0,ch1"
    split("1.5 4.0 7.25", peaks, " ")
    for (i = 0; i < 2500; i++) {
      t = i / 250; b = 0
      for (k in peaks) {
        d = t - peaks[k]
        if (d > -0.08 && d <= 0) b += 100 * (1 + cos(3.14159265 * d / 0.08))
        if (d > 0 && d < 0.16) b += 100 * (1 + cos(3.14159265 * d / 0.16))
      }
      hum = 20 * sin(2 * 3.14159265 * 50 * t)
      printf "%.2f,%.2f\n", 800 + hum, 800 + hum + b
    }
  }' >"$work/blinks.csv"

  output=$("$tool" --rate 250 --column 1 "$work/blinks.csv")
  status=$?
  [[ $status == 0 ]] || fail "a good recording: exit status $status"
  # Each blink reported once, within 150 ms after its peak, with strength
  # 100 (half its 200 uV), give or take 5.
  check_blinks() {
    local peaks=$1 output=$2 verdict
    verdict=$(awk -v peaks="$peaks" '
      BEGIN { n = split(peaks, p, " ") }
      $1 == "blink" {
        ++lines; t = $2 - p[lines]
        if (lines > n || t < 0 || t > 0.15 || $3 < 95 || $3 > 105) bad = bad " [" $0 "]"
      }
      $1 == "blinks:" { total = $2 }
      END { if (lines != n || total != n) bad = bad " [" lines " lines, total " total "]"; print bad }' \
      <<<"$output")
    [[ -z $verdict && $(tail -n 1 <<<"$output") == "blinks: $(wc -w <<<"$peaks")" ]] ||
      fail "blinks of 200 uV at $peaks s, reported as:$verdict
  $output"
  }
  check_blinks "1.5 4.0 7.25" "$output"
  output=$("$tool" --rate 250 "$work/blinks.csv")
  [[ $output == "blinks: 0" ]] || fail "a column without blinks: '$output'"

  # Usage errors: status 2, a message on the error stream saying what and
  # where, nothing on standard output.
  printf 'ch0,ch1\n1,2\n3,x\n' >"$work/bad.csv"
  : >"$work/empty.csv"
  printf 'ch0\n' >"$work/header.csv"
  check_usage() {
    local want=$1
    shift
    local out err status
    out=$(timeout 20 "$tool" "$@" 2>"$work/err")
    status=$?
    err=$(cat "$work/err")
    [[ $status == 2 ]] || fail "$*: exit status $status, not 2"
    [[ -z $out ]] || fail "$*: standard output '$out'"
    [[ $err == *"$want"* ]] || fail "$*: error '$err' does not say '$want'"
  }
  check_usage "a recording or a data log (FILE) is needed"
  check_usage "one file only" "$work/bad.csv" "$work/bad.csv"
  check_usage "--rate wants samples a second" --rate 0 "$work/bad.csv"
  check_usage "--column wants a column number" --column -1 "$work/bad.csv"
  check_usage "unknown option '--colour'" --colour 1 "$work/bad.csv"
  check_usage "bad.csv:3: no number in column 1: '3,x'" --column 1 "$work/bad.csv"
  check_usage "bad.csv:2: no number in column 2" --column 2 "$work/bad.csv"
  check_usage "missing.csv: cannot be read: No such file or directory" "$work/missing.csv"
  check_usage "empty.csv: empty" "$work/empty.csv"
  check_usage "header.csv: no samples after the header line" "$work/header.csv"
  check_usage "--from and --to choose the span of the picture: they need --svg" --to 5 \
    "$work/bad.csv"
  check_usage "at most 600 s after it" --svg "$work/p.svg" --from 10 --to 700 "$work/bad.csv"
  # Input that could take memory or time without end: no line ends at all,
  # and a named pipe nobody writes to. A named pipe with a writer is read as
  # the file would be.
  check_usage "/dev/zero:1: no line end within 1048576 bytes" /dev/zero
  mkfifo "$work/fifo"
  check_usage "fifo: nothing came for 10 seconds" "$work/fifo"
  timeout 30 cat "$work/blinks.csv" >"$work/fifo" &
  [[ $(timeout 30 "$tool" --rate 250 --column 1 "$work/fifo") == \
    $("$tool" --rate 250 --column 1 "$work/blinks.csv") ]] || fail "a named pipe with a writer"
  # Resampled from 1 to 512 samples a second, 60000 rows would need 240 MB
  # all at once; under a limit of 200 MB it runs on (until the timeout ends
  # it). Sanitizer builds cannot start under such a limit: not checked.
  awk 'BEGIN { print "ch0"; for (i = 0; i < 60000; i++) print 800 }' >"$work/long.csv"
  if (ulimit -v 200000 && "$tool" --help && true) >/dev/null 2>&1; then
    (ulimit -v 200000 && exec timeout 2 "$tool" --rate 1 "$work/long.csv" >/dev/null 2>"$work/err")
    status=$?
    [[ $status == 124 || $status == 0 ]] ||
      fail "--rate 1 on 60000 rows: exit status $status, $(cat "$work/err")"
  fi
  "$tool" --help | grep -q '^Usage: nictate-blinks \[--rate HZ\] \[--column N\] \[--svg FILE.svg' ||
    fail "--help"

  # The library's data log of a session: 12 s of the raw wave at 512 a
  # second (an offset of 800 uV, blinks of 200 uV peaking at 1.5, 4.0 and
  # 7.25 s, a step of 400 uV at 9.5 s that stays), a poor-signal value each
  # second, 200 (off the head) at 3 and 4 s, and the other lines a data log
  # holds: notes, other values, a line cut short by a full disk and the note
  # of the lines lost after it. The blink in poor contact is not reported.
  awk 'BEGIN {
    print "1733702400.000100 # COM3 = /dev/pts/4: opened"
    split("1.5 4.0 7.25", peaks, " ")
    for (i = 0; i < 12 * 512; i++) {
      t = i / 512; b = t >= 9.5 ? 400 : 0
      for (k in peaks) {
        d = t - peaks[k]
        if (d > -0.08 && d <= 0) b += 100 * (1 + cos(3.14159265 * d / 0.08))
        if (d > 0 && d < 0.16) b += 100 * (1 + cos(3.14159265 * d / 0.16))
      }
      stamp = sprintf("%d.%06d", 1733702401 + int(i / 512), (i % 512) * 1953)
      if (i % 512 == 0) {
        print stamp " POOR_SIGNAL " (i == 3 * 512 || i == 4 * 512 ? 200 : 0)
        print stamp " ATTENTION 53"
      }
      if (i == 600) { print stamp " ATTEN"; print stamp " # 3 lines lost before this one" }
      printf "%s RAW %d\n", stamp, (800 + b + 3 * sin(i * 1.7)) / 0.2197265625
    }
  }' >"$work/dataLog.txt"
  output=$("$tool" --svg "$work/session.svg" "$work/dataLog.txt")
  status=$?
  [[ $status == 0 ]] || fail "a data log: exit status $status"
  check_blinks "1.5 7.25" "$output"
  # The picture: a dot for each blink reported, the step refused as one,
  # and the poor contact.
  svg=$(cat "$work/session.svg" 2>/dev/null)
  [[ $(grep -c 'class="blink"' <<<"$svg") == 2 && $(grep -c 'class="refused"' <<<"$svg") == 1 &&
    $svg == *'>a step</text>'* && $svg == *'>poor contact</text>'* && $svg == '<svg '*'</svg>' ]] ||
    fail "the picture of the data log holds not the two blinks, the step and the poor contact"

  sed '5s/ RAW .*/ RAW x/' "$work/dataLog.txt" >"$work/badLog.txt"
  check_usage "badLog.txt:5: not a data log line: '1733702401.001953 RAW x'" "$work/badLog.txt"
  check_usage "dataLog.txt is a data log: --rate and --column are for recordings" --column 1 \
    "$work/dataLog.txt"
  "$tool" --svg /nonexistent/p.svg "$work/dataLog.txt" >/dev/null 2>"$work/err"
  status=$?
  [[ $status == 1 && $(cat "$work/err") == *"p.svg: cannot be written"* ]] ||
    fail "a picture that cannot be written: status $status, '$(cat "$work/err")'"
fi

# The shared real recordings: channels 0 and 3, 50 windows of 510 samples
# each, one blink asked for in each window: a brief one in headband-*, one
# with the eyes held shut for a while in long-*.
if [[ -n $recordings ]]; then
  if [[ ! -d $recordings ]]; then
    echo "real recordings not measured: no folder $recordings"
    exit 77
  fi
  # kind, least share of windows with exactly one blink, most extra reports
  # (percent of the windows)
  for target in "headband 99 1" "long 90 3"; do
    read -r kind least most <<<"$target"
    windows=0 one=0 extra=0
    for file in "$recordings/$kind"-*.csv; do
      [[ -e $file ]] || continue
      for column in 0 3; do
        read -r o e < <("$tool" --column "$column" "$file" | awk '
          $1 == "blink" { w = int($2 * 256 / 510); if (w < 50) c[w]++ }
          END { for (w = 0; w < 50; w++) { if (c[w] == 1) o++; if (c[w] > 1) e += c[w] - 1 }
                print o + 0, e + 0 }')
        windows=$((windows + 50)) one=$((one + o)) extra=$((extra + e))
      done
    done
    ((windows > 0)) || continue
    echo "real recordings, $kind-*: $one of $windows windows with exactly one blink, $extra extra reports"
    ((one * 100 >= windows * least)) || fail "$kind-*: only $one of $windows windows hold exactly one blink"
    ((extra * 100 <= windows * most)) || fail "$kind-*: $extra extra reports in $windows windows"
  done
fi

[[ $failures == 0 ]] || exit 1
echo "nictate-blinks as expected"
