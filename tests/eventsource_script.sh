#!/usr/bin/env bash
# Runs scripts/eventsource.sh as README.md gives it (no path): the source must
# name the built build/bin/Ovrin.exe, and remove must take it away again.
set -u
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The prefix the script itself uses.
export WINEPREFIX="$ROOT/build/wineprefix" WINEDEBUG=-all
KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ovrin'
fail() { echo "FAIL: $*" >&2; bash "$ROOT/scripts/eventsource.sh" remove >/dev/null 2>&1; exit 1; }

out="$(bash "$ROOT/scripts/eventsource.sh" install 2>&1)" || fail "install: $out"
value="$(wine reg query "$KEY" /v EventMessageFile </dev/null 2>/dev/null | tr -d '\r')"
case "$value" in
*\\build\\bin\\Ovrin.exe*) ;;
*) fail "EventMessageFile is not build\\bin\\Ovrin.exe: $value" ;;
esac
out="$(bash "$ROOT/scripts/eventsource.sh" remove 2>&1)" || fail "remove: $out"
wine reg query "$KEY" </dev/null >/dev/null 2>&1 && fail "the key is still there after remove"
echo "eventsource.sh install and remove work with the default path"
