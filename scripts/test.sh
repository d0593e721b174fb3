#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
cd "$BUILD"
# Each test program runs once: a test that fails now and then is a fault to
# find, not one to retry.
ctest --output-on-failure -j2 "$@"
