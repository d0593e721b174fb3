#!/usr/bin/env bash
# Acceptance of the METRICS file the way a fleet reads it, outside the test
# suite's time: a supervisor under Wine writes its file into a folder while
# a line crashes; Debian's node exporter serves that folder with its
# textfile collector on 127.0.0.1; a Prometheus server on 127.0.0.1 scrapes
# the exporter; the restarts counter is then read back through Prometheus'
# HTTP API. Everything listens on the loopback only and ends by itself.
#
# Use: bash scripts/metrics_accept.sh   (installs what it needs, builds)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PACKAGES="$PACKAGES prometheus prometheus-node-exporter curl"
install_packages
build_all
trap 'cleanup; stop_wine' EXIT
start_wine

WORK="$(mktemp -d "$BUILD/metrics_accept.XXXXXX")"
EXPORTER_PORT=19100
PROMETHEUS_PORT=19090
PIDS=""
cleanup() {
    exec 7>&- 2>/dev/null || true
    for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
    sleep 1
    wine taskkill /f /im accept_crash.exe </dev/null >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$WORK/textfile"
cp "$BUILD/bin/Ovrin.exe" "$WORK/OvrAccept.exe"
cp "$BUILD/bin/childproc.exe" "$WORK/accept_crash.exe"
# The supervisor writes into the collector's folder; a temporary file there
# never ends in .prom, so the collector reads only whole files.
printf '%s\r\n' '-global -metrics "textfile\ovrin.prom" -metricsinterval 1' \
    '-noconsole -restartdelay 0 "accept_crash.exe -sleep 500 -crash"' >"$WORK/OvrAccept.inf"
mkfifo "$WORK/input"
(cd "$WORK" && exec wine OvrAccept.exe <input >supervisor.log 2>&1) &
PIDS="$PIDS $!"
exec 7>"$WORK/input"

prometheus-node-exporter --web.listen-address="127.0.0.1:$EXPORTER_PORT" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$WORK/textfile" >"$WORK/exporter.log" 2>&1 &
PIDS="$PIDS $!"
cat >"$WORK/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: ovrin
    static_configs:
      - targets: ["127.0.0.1:$EXPORTER_PORT"]
EOF
prometheus --config.file="$WORK/prometheus.yml" --storage.tsdb.path="$WORK/tsdb" \
    --web.listen-address="127.0.0.1:$PROMETHEUS_PORT" >"$WORK/prometheus.log" 2>&1 &
PIDS="$PIDS $!"

# Bounded: the counter must reach 3 through Prometheus within 90 s.
query="ovrin_process_restarts_total%7Bname%3D%22accept_crash%22%7D"
restarts=""
for _ in $(seq 90); do
    sleep 1
    answer="$(curl -s "http://127.0.0.1:$PROMETHEUS_PORT/api/v1/query?query=$query" || true)"
    restarts="$(printf '%s' "$answer" | sed -n 's/.*"value":\[[^,]*,"\([0-9]*\)"\].*/\1/p')"
    [ -n "$restarts" ] && [ "$restarts" -ge 3 ] && break
done
echo "Prometheus answered: ${answer:-nothing}"
[ -n "$restarts" ] && [ "$restarts" -ge 3 ] || fail "ovrin_process_restarts_total did not reach 3 through Prometheus"
up="$(curl -s "http://127.0.0.1:$PROMETHEUS_PORT/api/v1/query?query=ovrin_up" | sed -n 's/.*"value":\[[^,]*,"\([0-9]*\)"\].*/\1/p')"
[ "$up" = "1" ] || fail "ovrin_up is not 1 through Prometheus"
echo "metrics acceptance: restarts ${restarts} and ovrin_up 1 read through Prometheus"
echo quit >&7
exit 0
