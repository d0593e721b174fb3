#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
cd "$BUILD"
ctest --output-on-failure -j2 "$@"
