# Shared by the scripts: install what the build needs, configure, build.
# Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win64
# Tests never open windows: MessageBoxA returns at once without a display.
unset DISPLAY

PACKAGES="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64 googletest prometheus"

install_packages() {
    local missing=""
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
}

build_all() {
    mkdir -p "$BUILD"
    # Two calls at once (a client beside a running demo) build one after
    # the other in the one build tree.
    (
        flock 8
        cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$BUILD" -j"$(nproc)"
    ) 8>"$BUILD/build.lock"
}

# Several script calls may use the prefix at once (a demo and a client, a
# demo and the tests). Each call holds a share of it, a file named after its
# process id in $WINE_USERS; the last call to end stops the server, unless a
# service installed through the scripts ($WINE_SERVICE_MARK, written by
# run.sh -i, removed by run.sh -r) needs the prefix to stay up.
WINE_USERS="$BUILD/wine-users"
WINE_SERVICE_MARK="$BUILD/wine-service"
WINE_LOCK="$BUILD/wine.lock"

# A persistent wineserver makes each Windows process start in milliseconds,
# and keeps an installed service running with no other program in the
# prefix. Its streams, and those of the first wine call, go to a file:
# Wine's background processes inherit them and would hold a caller's pipe
# open.
start_wine() {
    mkdir -p "$WINEPREFIX" "$WINE_USERS"
    : >"$WINE_USERS/$$"
    (
        flock 9
        # Exit status 2: a server already runs for this prefix; it has been
        # booted by whoever started it.
        # The server and the processes of the boot outlive this call: they
        # must not inherit the lock (9>&-), or they would hold it for ever.
        if wineserver -p </dev/null >"$BUILD/wineserver.log" 2>&1 9>&-; then
            # Plain "wineboot": the first wine call boots the prefix
            # (creating it if needed) and "wineboot -i" on top of that starts
            # a second services.exe (measured with Wine 8.0); two service
            # managers each keep their own view of the services, so a query
            # may see a started service as never started.
            wine wineboot </dev/null >"$BUILD/wineboot.log" 2>&1 9>&- || true
        fi
    ) 9>"$WINE_LOCK"
}

stop_wine() {
    rm -f "$WINE_USERS/$$"
    (
        flock 9
        local entry
        for entry in "$WINE_USERS"/*; do
            [ -e "$entry" ] || continue
            # A call that was killed left its share behind.
            kill -0 "${entry##*/}" 2>/dev/null || rm -f "$entry"
        done
        if [ -z "$(ls -A "$WINE_USERS" 2>/dev/null)" ] && [ ! -e "$WINE_SERVICE_MARK" ]; then
            wineserver -k </dev/null >/dev/null 2>&1 || true
        fi
    ) 9>"$WINE_LOCK"
}
