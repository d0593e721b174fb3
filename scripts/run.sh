#!/usr/bin/env bash
# Builds Ovrin.exe and runs it under Wine on the example definition file
# (examples/demo.inf), in the terminal: type status, stop <name>,
# start <name>, help, and quit. With arguments, runs Ovrin.exe with them
# instead (for example: bash scripts/run.sh -?).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
DEMO="$BUILD/demo"
mkdir -p "$DEMO"
cp "$BUILD/bin/Ovrin.exe" "$DEMO/Ovrin.exe"
for name in setup crasher worker partner oneshot; do
    cp "$BUILD/bin/childproc.exe" "$DEMO/$name.exe"
done
cd "$DEMO"
if [ "$#" -gt 0 ]; then
    wine Ovrin.exe "$@"
else
    cp "$ROOT/examples/demo.inf" "$DEMO/Ovrin.inf"
    wine Ovrin.exe
fi
