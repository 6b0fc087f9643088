# Shared by the scripts: installs what a fresh Debian 12 machine lacks, configures and builds the
# cross build, and keeps the build's own Wine prefix, display and wineserver.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
export WINEARCH=win32
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

log() { printf '== %s\n' "$*" >&2; }

# Every step that fails ends the script through set -e; say which one it was, also inside functions.
set -E
trap 'failed_status=$?; log "failed (exit code $failed_status): $BASH_COMMAND"' ERR

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

PACKAGES=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools wine wine32:i386 xvfb xauth
          imagemagick fonts-wine fonts-dejavu-core googletest cmake ninja-build g++ x11-utils ca-certificates)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure_and_build() {
    if [ ! -f "$BUILD/build.ninja" ]; then
        log "configuring $BUILD"
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" >/dev/null
    fi
    log "building"
    cmake --build "$BUILD" -- -j"$(nproc)" "$@"
}

start_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
    local n=91
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
    log "Xvfb did not start"; return 1
}

# One wineserver for the whole run: every Wine process then starts quickly. It stays up while Wine
# programs run and for a minute after the last one, so that a command started while another runs (or
# soon after one was interrupted) finds it there and uses it; nobody has to stop it, and stopping it
# would end the Wine programs of whichever command still runs.
wine_server_idle_seconds=60

# A wineserver's desktop keeps the screen of the display it was started for as long as the server runs,
# whatever display later programs name, even when that X server is gone. So the server serves one
# display: this record, written when a command of ours starts it, names the server, the display and its
# screen size (another Xvfb under the same name may have another size).
wine_server_record=$WINEPREFIX.display

# Wine's own programs, which run for as long as the prefix's wineserver does.
wine_own_programs=" services.exe winedevice.exe plugplay.exe svchost.exe rpcss.exe explorer.exe conhost.exe "

# The processes of the prefix's wineserver, one a line: "server <pid>" for the server and "program <pid>
# <name>" for every Wine program but Wine's own. A process belongs to the prefix it was started for,
# however that path was spelt.
wine_server_processes() {
    local -a folders command
    local entry folder name
    mapfile -t folders < <(find /proc -mindepth 2 -maxdepth 2 -name exe -lname '*/wine*' -printf '%h\n' 2>/dev/null || true)
    [ ${#folders[@]} -ne 0 ] || return 0
    while IFS= read -r -d '' entry; do
        folder=${entry%%/environ:*}
        [ "${entry#*:WINEPREFIX=}" -ef "$WINEPREFIX" ] || continue
        mapfile -d '' -n 1 command 2>/dev/null <"$folder/cmdline" || continue
        name=${command[0]:-}
        name=${name##*[\\/]}
        if [[ $name == wineserver* ]]; then
            echo "server ${folder#/proc/}"
        elif [[ $wine_own_programs != *" ${name,,} "* ]]; then
            echo "program ${folder#/proc/} $name"
        fi
    done < <(grep -zH '^WINEPREFIX=' "${folders[@]/%//environ}" 2>/dev/null || true)
}

# The Wine programs that use the prefix's server, as a person reads them.
wine_programs() {
    wine_server_processes | sed -n 's/^program \([0-9]*\) \(.*\)/\2 (process \1)/p' | paste -sd';' |
        sed 's/;/, /g'
}

# The server's process id and the display this command runs on, as the record holds them.
wine_server_identity() {
    local server size
    server=$(wine_server_processes | sed -n 's/^server //p')
    size=$(xdpyinfo 2>/dev/null | sed -n 's/^ *dimensions: *\([0-9]*x[0-9]*\) .*/\1/p' | paste -sd, || true)
    echo "server ${server:-unknown} display ${DISPLAY:-none} screen ${size:-unknown}"
}

# The prefix's wineserver, for this display. A server that runs for it is shared; one started for another
# display, or by something that kept no record, ends first: once the programs that still use it have
# ended, as ending it would end them.
start_wine_server() {
    local status errors said programs waiting
    while :; do
        status=0
        errors=$(mktemp)
        # The server keeps the output it was started with for as long as it runs: a pipe there would stay
        # open for a minute after the command ends and hold up whatever reads it.
        wineserver -p"$wine_server_idle_seconds" </dev/null >/dev/null 2>"$errors" || status=$?
        said=$(cat "$errors")
        rm -f "$errors"
        case $status in
        0) break ;;
        # wineserver's own answer when another server holds the prefix's lock.
        2) ;;
        *)
            [ -z "$said" ] || printf '%s\n' "$said" >&2
            log "the wineserver for $WINEPREFIX did not start (exit code $status)"
            return 1
            ;;
        esac
        if [ "$(wine_server_identity)" = "$(cat "$wine_server_record" 2>/dev/null || true)" ]; then
            log "using the wineserver that already runs for $WINEPREFIX"
            return 0
        fi
        waiting=
        while programs=$(wine_programs) && [ -n "$programs" ]; do
            if [ -z "$waiting" ]; then
                log "the wineserver for $WINEPREFIX runs for another display; waiting for its programs to end: $programs"
                waiting=yes
            fi
            sleep 0.5
        done
        log "ending the wineserver that runs for another display"
        # It may have ended by itself in the meantime.
        wineserver -k >/dev/null 2>&1 || true
    done
    wine_server_identity >"$wine_server_record"
}

start_wine() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the 32-bit Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || { log "creating the Wine prefix $WINEPREFIX failed"; return 1; }
        wineserver -w
    fi
    # Wine's own Tahoma stands in for the dialog font; Wine finds it only in the prefix's font folder,
    # and without it every dialog falls back on a monospace face.
    cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    start_wine_server
    # The first Wine process starts the prefix's services; they would hold on to whatever output pipe
    # that process had (and keep ctest waiting), so start them here with no pipe attached.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || { log "Wine does not run programs in $WINEPREFIX"; return 1; }
    # Wine's own Tahoma lacks the arrows and superscripts the dialog shows; on Windows font linking
    # supplies such glyphs, here DejaVu Sans does.
    local link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
    for face in Tahoma "MS Shell Dlg"; do
        wine reg add "$link" /v "$face" /t REG_MULTI_SZ /d "DejaVuSans.ttf,DejaVu Sans" /f >/dev/null 2>&1 || true
    done
    # The about box's heading asks for Arial Black, which Wine lacks; without a stand-in it falls back
    # on a typewriter face.
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Arial Black" /d "DejaVu Sans" /f >/dev/null 2>&1 || true
    # Windows' own colours where Wine's differ in what the dialog draws with: the button face the pictures
    # are drawn on, and the border colour of the frames and dimmed texts (white in Wine's default scheme).
    wine reg add 'HKCU\Control Panel\Colors' /v ButtonFace /d "240 240 240" /f >/dev/null 2>&1 || true
    wine reg add 'HKCU\Control Panel\Colors' /v ActiveBorder /d "180 180 180" /f >/dev/null 2>&1 || true
    # On our own Xvfb no window manager answers: a managed window then waits for one at every hide and
    # destroy. Wine leaves its windows unmanaged there, and managed on a person's display.
    if [ -n "${XVFB_PID:-}" ]; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    else
        wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
    fi
    if [ -f "$BUILD/bin/ZorvaneImageProcessor2.dll" ]; then
        wine regsvr32 /s "$(winepath -w "$BUILD/bin/ZorvaneImageProcessor2.dll")" >/dev/null 2>&1 \
            || { log "registering the engine failed"; return 1; }
    fi
}

stop_all() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" >/dev/null 2>&1 || true
}
