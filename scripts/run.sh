#!/usr/bin/env bash
# Builds Ovrin.exe and runs it under Wine. Arguments go to Ovrin.exe.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
if [ "$#" -eq 0 ]; then
    set -- -?
fi
wine "$BUILD/Ovrin.exe" "$@"
