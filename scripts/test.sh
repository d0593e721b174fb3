#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_all
trap stop_wine EXIT
start_wine
cd "$BUILD"
# A test program that fails is run once more: the end-to-end tests time real
# processes under Wine on a shared machine, where a rare stall of the whole
# machine can miss a bound. A real fault fails both runs, and the first
# failure's output stays in the log.
ctest --output-on-failure -j2 --repeat until-pass:2 "$@"
