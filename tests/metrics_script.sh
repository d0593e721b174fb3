#!/usr/bin/env bash
# A supervisor under Wine writes its METRICS file while a line crashes until
# it is given up and another is stopped by the kill: promtool must accept
# every version of the file and ovrinctl's status -prom, the restarts counter
# must never go down, and the given-up and forced-stop series must show.
set -u
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="$ROOT/build/wineprefix" WINEDEBUG=-all
if ! command -v promtool >/dev/null 2>&1; then
    echo "SKIP: promtool is not installed (Debian package prometheus)"
    exit 77
fi
BIN="$ROOT/build/bin"
DIR="$(mktemp -d "$ROOT/build/metrics_script.XXXXXX")"
SUP=""
cleanup() {
    exec 7>&- 2>/dev/null
    if [ -n "$SUP" ] && kill -0 "$SUP" 2>/dev/null; then
        for _ in $(seq 50); do kill -0 "$SUP" 2>/dev/null || break; sleep 0.1; done
        kill "$SUP" 2>/dev/null
    fi
    # The lines are ended by the supervisor's shutdown; a killed run may leave them.
    wine taskkill /f /im crashy.exe </dev/null >/dev/null 2>&1
    wine taskkill /f /im sleepy.exe </dev/null >/dev/null 2>&1
    rm -rf "$DIR"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$DIR/ovrin.prom" ] && cat "$DIR/ovrin.prom" >&2; exit 1; }

cp "$BIN/Ovrin.exe" "$DIR/OvrProm.exe" && cp "$BIN/childproc.exe" "$DIR/crashy.exe" &&
    cp "$BIN/childproc.exe" "$DIR/sleepy.exe" || fail "copies"
printf '%s\r\n' '-global -metrics "ovrin.prom" -metricsinterval 1' \
    '-noconsole -restartdelay 0 -maxrestarts 3 "crashy.exe -sleep 300 -crash"' \
    '-noconsole -stoptimeout 0 "sleepy.exe -forever"' >"$DIR/OvrProm.inf"
mkfifo "$DIR/input"
(cd "$DIR" && exec wine OvrProm.exe <input >log 2>&1) &
SUP=$!
exec 7>"$DIR/input"

value() { # series-prefix file -> value of the first matching line
    grep -F "$1" "$2" | head -n1 | awk '{print $NF}'
}
last_restarts=0
checked=0
last_sum=""
check_version() {
    cp "$DIR/ovrin.prom" "$DIR/copy" 2>/dev/null || return 0
    local sum
    sum="$(md5sum <"$DIR/copy")"
    [ "$sum" = "$last_sum" ] && return 0
    last_sum="$sum"
    out="$(promtool check metrics <"$DIR/copy" 2>&1)" || fail "promtool: $out"
    grep -q $'\r' "$DIR/copy" && fail "a line ends in CR"
    [ "$(tail -c1 "$DIR/copy" | od -An -c | tr -d ' ')" = '\n' ] || fail "no final newline"
    local r
    r="$(value 'ovrin_process_restarts_total{name="crashy"' "$DIR/copy")"
    [ -n "$r" ] || fail "no restarts series for crashy"
    [ "$r" -ge "$last_restarts" ] || fail "restarts went down from $last_restarts to $r"
    last_restarts=$r
    checked=$((checked + 1))
}

given_up=0
for _ in $(seq 300); do
    check_version
    if [ -f "$DIR/copy" ] && [ "$(value 'ovrin_process_given_up{name="crashy"' "$DIR/copy")" = 1 ]; then
        given_up=1
        break
    fi
    sleep 0.05
done
[ "$given_up" = 1 ] || fail "crashy was not shown given up within 15 s"
[ "$last_restarts" = 3 ] || fail "restarts of crashy: $last_restarts, not 3"
[ "$(value 'ovrin_process_last_exit_code{name="crashy"' "$DIR/copy")" = 3221225477 ] || fail "last exit code"
[ "$(value 'ovrin_process_state{name="crashy",exe="crashy.exe",state="given up"}' "$DIR/copy")" = 1 ] ||
    fail "state series of given up"
[ "$checked" -ge 2 ] || fail "only $checked versions of the file were seen"

(cd "$DIR" && wine "$BIN/ovrinctl.exe" -n OvrProm.exe stop sleepy </dev/null >/dev/null 2>&1) || fail "ovrinctl stop"
forced=""
for _ in $(seq 60); do
    check_version
    forced="$(value 'ovrin_process_forced_stops_total{name="sleepy"' "$DIR/copy")"
    [ "$forced" = 1 ] && break
    sleep 0.05
done
[ "$forced" = 1 ] || fail "forced stops of sleepy: $forced, not 1"

for args in "" "-c ."; do
    # shellcheck disable=SC2086
    wine "$BIN/ovrinctl.exe" $args -n OvrProm.exe status -prom </dev/null >"$DIR/ctl" 2>"$DIR/ctl.err" ||
        fail "ovrinctl $args status -prom: $(cat "$DIR/ctl.err")"
    out="$(promtool check metrics <"$DIR/ctl" 2>&1)" || fail "promtool on ovrinctl $args: $out"
    grep -q 'ovrin_process_restarts_total{.*name="crashy".*} 3' "$DIR/ctl" || fail "ovrinctl $args: $(cat "$DIR/ctl")"
done
grep -q '^ovrin_up{computer=".",name="OvrProm",exe="OvrProm.exe"} 1$' "$DIR/ctl" || fail "computer label: $(cat "$DIR/ctl")"
ls "$DIR" | grep -v '^ovrin.prom$' | grep -q '\.prom$' && fail "another .prom file: $(ls "$DIR")"

echo quit >&7
exec 7>&-
for _ in $(seq 100); do kill -0 "$SUP" 2>/dev/null || break; sleep 0.1; done
kill -0 "$SUP" 2>/dev/null && fail "the supervisor did not end on quit"
echo "metrics file: $checked versions accepted by promtool, counters monotonic, given up and forced stop shown"
