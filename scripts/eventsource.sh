#!/usr/bin/env bash
# Registers (install) or removes (remove) the event source of Ovrin.exe in the
# Wine prefix that scripts/run.sh uses. The program only reports under a
# registered source; it never registers one itself.
#   bash scripts/eventsource.sh install|remove [path/to/Name.exe]
# The source is the executable's name without extension, in lower case with
# a capital first letter: Ovrin for Ovrin.exe. The same with reg.exe on
# Windows: scripts\eventsource.cmd.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage() {
    echo "usage: $0 install|remove [path/to/Name.exe]" >&2
    exit 2
}

[ "$#" -ge 1 ] && [ "$#" -le 2 ] || usage
EXE="${2:-$BUILD/bin/Ovrin.exe}"
BASE="$(basename "$EXE")"
BASE="${BASE%.*}"
BASE="${BASE,,}"
SOURCE="${BASE^}"
KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$SOURCE"

mkdir -p "$WINEPREFIX"
# Wine's background processes inherit the streams: keep them off the caller's.
LOG="$BUILD/eventsource.log"
case "$1" in
install)
    [ -f "$EXE" ] || { echo "$EXE does not exist; build it first (bash scripts/run.sh)" >&2; exit 1; }
    WINEXE="$(winepath -w "$(cd "$(dirname "$EXE")" && pwd)/$(basename "$EXE")" 2>/dev/null)"
    wine reg add "$KEY" /v EventMessageFile /t REG_EXPAND_SZ /d "$WINEXE" /f </dev/null >"$LOG" 2>&1
    wine reg add "$KEY" /v TypesSupported /t REG_DWORD /d 7 /f </dev/null >>"$LOG" 2>&1
    echo "Registered the event source $SOURCE with the messages of $WINEXE."
    ;;
remove)
    if wine reg query "$KEY" </dev/null >"$LOG" 2>&1; then
        wine reg delete "$KEY" /f </dev/null >>"$LOG" 2>&1
        echo "Removed the event source $SOURCE."
    else
        echo "The event source $SOURCE is not registered."
    fi
    ;;
*)
    usage
    ;;
esac
