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

PACKAGES="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64 googletest"

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
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# A persistent wineserver makes each Windows process start in milliseconds.
# Its streams, and those of the first wine call, go to a file: Wine's
# background processes inherit them and would hold a caller's pipe open.
start_wine() {
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >"$BUILD/wineserver.log" 2>&1 || true
    # Plain "wineboot": the first wine call boots the prefix (creating it if
    # needed) and "wineboot -i" on top of that starts a second services.exe
    # (measured with Wine 8.0); two service managers each keep their own view
    # of the services, so a query may see a started service as never started.
    wine wineboot </dev/null >"$BUILD/wineboot.log" 2>&1 || true
}

stop_wine() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
