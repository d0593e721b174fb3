#!/usr/bin/env bash
# Builds Ovrin.exe and runs it under Wine on the example definition file
# (examples/demo.inf), in the terminal: type status, stop <name>,
# start <name>, help, and quit. With arguments, runs Ovrin.exe with them
# instead, for example:
#   bash scripts/run.sh -?                 the usage
#   bash scripts/run.sh -c                 a client of the running demo
#   bash scripts/run.sh -d my.inf          another file (a Linux path, taken
#                                          from the current directory, or a
#                                          Windows path such as 'c:\x.inf')
#   bash scripts/run.sh -i | -r            install and start / stop and remove
#                                          the service "Ovrin"
#   bash scripts/run.sh debug              print the debug messages of the
#                                          supervisors started after it
# The exit status is Ovrin.exe's own.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
CALLER_DIR="$PWD"
install_packages
build_all
trap stop_wine EXIT
start_wine
DEMO="$BUILD/demo"
mkdir -p "$DEMO"

# Replaces a file by renaming a fresh copy over it, and only when it
# differs: a program that runs from the old file keeps its image (writing
# into a running executable crashed it under Wine).
install_copy() {
    cmp -s "$1" "$2" && return 0
    cp "$1" "$2.new.$$"
    mv -f "$2.new.$$" "$2"
}

# A -d value as Ovrin.exe needs it: a Windows path (with a drive letter or
# a backslash) as typed, a Linux path from the caller's directory, through
# winepath (a leading "/" would otherwise be read as an option).
windows_path() {
    case "$1" in
    [A-Za-z]:* | *\\*) printf '%s\n' "$1" ;;
    /*) winepath -w "$1" 2>/dev/null || printf '%s\n' "$1" ;;
    *) winepath -w "$CALLER_DIR/$1" 2>/dev/null || printf '%s\n' "$1" ;;
    esac
}

if [ "${1:-}" = debug ]; then
    shift
    cd "$BUILD/bin"
    echo "Listening on the debugger pipe; supervisors started from now on report here (ctrl-c ends)."
    set +e
    wine dbglisten.exe "$@"
    exit $?
fi

install_copy "$BUILD/bin/Ovrin.exe" "$DEMO/Ovrin.exe"
for name in setup crasher worker partner oneshot; do
    install_copy "$BUILD/bin/childproc.exe" "$DEMO/$name.exe"
done

ARGS=()
HAS_DEFINITION=0
TAKE_PATH=0
for arg in "$@"; do
    if [ "$TAKE_PATH" = 1 ]; then
        arg="$(windows_path "$arg")"
        TAKE_PATH=0
    fi
    case "$arg" in
    -d | -D | /d | /D) TAKE_PATH=1; HAS_DEFINITION=1 ;;
    esac
    ARGS+=("$arg")
done
# The demo file stands beside the executable as its default definition file
# for a plain run (always the example) and for the service (unless the
# operator has put a file of their own there).
if [ "$HAS_DEFINITION" = 0 ]; then
    if [ "$#" -eq 0 ]; then
        cp "$ROOT/examples/demo.inf" "$DEMO/Ovrin.inf"
    elif [ ! -e "$DEMO/Ovrin.inf" ]; then
        cp "$ROOT/examples/demo.inf" "$DEMO/Ovrin.inf"
    fi
fi

cd "$DEMO"
set +e
if [ -t 1 ]; then
    # Wine garbles a terminal when notices arrive while the operator types;
    # through a pipe the lines come out whole. cat ignores ctrl-c so that
    # the supervisor's own stop messages still reach the screen.
    wine Ovrin.exe "${ARGS[@]}" | (trap '' INT; cat)
    STATUS=${PIPESTATUS[0]}
else
    wine Ovrin.exe "${ARGS[@]}"
    STATUS=$?
fi
set -e

# An installed service lives as long as the prefix's server: keep it up
# while the service is installed (0: done, 6: already so).
if [ "$STATUS" = 0 ] || [ "$STATUS" = 6 ]; then
    for arg in "$@"; do
        case "$arg" in
        -i | -I | /i | /I) : >"$WINE_SERVICE_MARK" ;;
        -r | -R | /r | /R) rm -f "$WINE_SERVICE_MARK" ;;
        esac
    done
fi
exit "$STATUS"
