#!/usr/bin/env bash
# Builds everything and runs the benchmarks of the whole supervisor under
# Wine (bench/ovrbench.cpp says what each run measures). Without arguments
# it runs every benchmark and prints every figure; with arguments it passes
# them to ovrbench.exe, for example:
#   bash scripts/bench.sh soak              ten minutes of crashing children
#   bash scripts/bench.sh fuzz              pipe records and definition files
#   bash scripts/bench.sh restart -quick    one benchmark, short
# The machine's load is printed before and after, beside the figures.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
echo "uptime before: $(uptime)"
cd "$BUILD/bin"
set +e
wine ovrbench.exe "$@"
STATUS=$?
# Captured output's copying rate, with the full benchmark run (or "capture").
if [ "$#" -eq 0 ] || [ "$1" = "capture" ]; then
    wine capturebench.exe || STATUS=1
fi
set -e
echo "uptime after: $(uptime)"
exit $STATUS
