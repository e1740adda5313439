# Shared helpers of the black-box tests: each test starts the real binary headless on a
# throwaway data folder and reads what it leaves on disk.
set -euo pipefail

STOWKEEP=${1:?usage: $0 path/to/stowkeep}
WORK=$(mktemp -d)
export XDG_DATA_HOME=$WORK/xdg
export QT_QPA_PLATFORM=offscreen
export LC_ALL=C.UTF-8
export TZ=UTC
# A preloaded faketime must not upset the sanitizer build.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}verify_asan_link_order=0
DATA=$XDG_DATA_HOME/Stowkeep
STORE=$DATA/Profiles.ini
PIDS=()

cleanup() {
    for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
    local limit=$1; shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# start [faketime start]: starts Stowkeep in the background; its pid is in $PID.
start() {
    if [ $# -gt 0 ]; then
        # Preloaded directly, so that signals reach Stowkeep and not a wrapper process.
        local lib
        lib=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -n 1)
        LD_PRELOAD=$lib FAKETIME="@$1" FAKETIME_DONT_FAKE_MONOTONIC=1 \
            "$STOWKEEP" >"$WORK/out.log" 2>&1 &
    else
        "$STOWKEEP" >"$WORK/out.log" 2>&1 &
    fi
    PID=$!
    PIDS+=("$PID")
}

alive() { kill -0 "$1" 2>/dev/null; }
gone() { ! alive "$1"; }

# stop SIGNAL: sends the signal and expects a clean exit (status 0) within 20 s.
stop() {
    kill "-$1" "$PID"
    wait_for 20 gone "$PID" || fail "Stowkeep did not end on SIG$1"
    local status=0
    wait "$PID" || status=$?
    [ "$status" -eq 0 ] || { cat "$WORK/out.log" >&2; fail "Stowkeep ended with status $status on SIG$1"; }
}

# value SECTION KEY: the raw value of a key in the store ("" when missing).
value() {
    awk -v section="[$1]" -v key="$2" '
        /^\[/ { inside = ($0 == section); next }
        inside && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
    ' "$STORE"
}

has_value() { [ "$(value "$1" "$2")" = "$3" ]; }
