#!/usr/bin/env bash
# usage: wine-server-display.sh <screen-size.exe> <work folder>
# Commands that start Wine through scripts/lib.sh one after another, as scripts/run and scripts/test do,
# on changing displays, in a Wine prefix of the test's own under the work folder. Each command's programs
# must see its own display's screen; a wineserver kept for another display ends only once the programs
# still using it have ended; commands on one display share the server.
set -euo pipefail
probe=$1
work=$(realpath -m "$2")
lib=$(cd "$(dirname "$0")/../../scripts" && pwd)/lib.sh
export BUILD=$work WINEARCH=win32 WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset DISPLAY
mkdir -p "$work"
pipes=$(mktemp -d)
xvfbs=()
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    for pid in "${xvfbs[@]}"; do kill "$pid" >/dev/null 2>&1 || true; done
    rm -rf "$pipes"
}
trap cleanup EXIT
# A holder ended with its server is reported as such, not by a write to its input that ends this script.
trap '' PIPE
# A server left behind by an interrupted run of this test.
wineserver -k >/dev/null 2>&1 || true

failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# Starts an Xvfb with a screen of the given size, under the display name given or any free one; sets
# screen_display once it takes connections.
start_xvfb() {
    mkfifo "$pipes/number"
    Xvfb ${2:-} -displayfd 3 -screen 0 "${1}x24" -nolisten tcp 3>"$pipes/number" >/dev/null 2>&1 &
    xvfbs+=($!)
    local number
    read -r -t 60 number <"$pipes/number"
    rm "$pipes/number"
    screen_display=:$number
}

stop_xvfb() {
    kill "${xvfbs[0]}"
    wait "${xvfbs[0]}" || true
    xvfbs=("${xvfbs[@]:1}")
}

# A Wine program of ours on the given display that runs until a line reaches it on hold_input.
start_holder() {
    mkfifo "$pipes/hold-in" "$pipes/hold-out"
    DISPLAY=$1 wine "$probe" --hold <"$pipes/hold-in" >"$pipes/hold-out" 2>/dev/null &
    holder=$!
    exec {hold_input}>"$pipes/hold-in" {hold_output}<"$pipes/hold-out"
    rm "$pipes/hold-in" "$pipes/hold-out"
    local line
    read -r -t 60 line <&"$hold_output"
    [[ $line == holding* ]]
}

# Releases the holder; fails the row unless it ran its course, that is, was not ended with its server.
release_holder() {
    echo >&"$hold_input" 2>/dev/null || true
    local said=
    read -r -t 60 said <&"$hold_output" || true
    exec {hold_input}>&- {hold_output}<&-
    wait "$holder" || true
    [[ $said == released* ]] || fail "$row: the program that used the server was ended with it"
    holder=
}

# Each row is a new command: the screen of the Xvfb it runs on (a new one; the one before; or a new one
# under the name of the one before, which is gone), whether a program of an earlier command still uses
# the server meanwhile, and whether the command has to wait for that program before it starts Wine.
#       screen    display busy waits
rows=("1280x1024 new     no   no"
      "1600x1200 new     yes  yes"
      "1600x1200 same    yes  no"
      "1024x768  again   no   no"
      "1280x1024 new     no   no")
current=
for row in "${rows[@]}"; do
    read -r size display busy waits <<<"$row"
    echo "== $row" >&2
    holder=
    if [ "$display" = again ]; then
        stop_xvfb
        start_xvfb "$size" "$current"
    elif [ "$display" = new ]; then
        start_xvfb "$size"
        if [ "$busy" = yes ]; then
            start_holder "$current"
        elif [ -n "$current" ]; then
            stop_xvfb # the earlier display is gone, its server remains
        fi
        current=$screen_display
    elif [ "$busy" = yes ]; then
        start_holder "$current"
    fi

    echo "== on display $current" >&2
    mkfifo "$pipes/log"
    DISPLAY=$current bash -c 'source "$0"; start_wine' "$lib" 2>"$pipes/log" >/dev/null &
    starter=$!
    exec {log}<"$pipes/log"
    rm "$pipes/log"
    waited=no
    while :; do
        status=0
        read -r -t 120 line <&"$log" || status=$?
        [ "$status" -eq 0 ] || break
        echo "$line" >&2
        if [[ $line == *"waiting for its programs to end"* ]]; then
            waited=yes
            if [ -n "$holder" ]; then
                release_holder
            fi
        fi
    done
    exec {log}<&-
    if [ "$status" -gt 128 ]; then
        fail "$row: start_wine did not return"
        kill "$starter"
    fi
    status=0
    wait "$starter" || status=$?
    [ "$status" -eq 0 ] || fail "$row: start_wine failed with exit code $status"
    [ "$waited" = "$waits" ] || fail "$row: waited for the other programs: $waited"
    if [ -n "$holder" ]; then
        release_holder
    fi
    if [ "$display/$busy" = new/yes ]; then
        stop_xvfb
    fi

    seen=$(DISPLAY=$current wine "$probe" | tr -d '\r')
    [ "$seen" = "$size" ] || fail "$row: the programs see a screen of $seen"
done
[ "$failures" -eq 0 ]
