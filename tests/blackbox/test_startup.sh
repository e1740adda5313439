#!/usr/bin/env bash
# Start-up, one instance per user, a corrupt store, and the end on each signal.
source "$(dirname "$0")/common.sh"

# A first start creates only the data folder, private, with its missing parents.
start
wait_for 20 test -d "$DATA" || fail "the data folder was not created"
[ "$(stat -c %a "$DATA")" = 700 ] || fail "the data folder is not private"
[ ! -e "$STORE" ] || fail "Profiles.ini was created at start-up"
sleep 1
alive "$PID" || fail "Stowkeep ended by itself"

# A second start hands over to the first and ends.
"$STOWKEEP" >"$WORK/second.log" 2>&1 &
second=$!
PIDS+=("$second")
wait_for 20 gone "$second" || fail "the second instance kept running"
wait "$second" || fail "the second instance failed"
alive "$PID" || fail "the first instance ended"
stop TERM

# Each of the session's signals ends the program cleanly.
for signal in INT HUP; do
    start
    wait_for 20 test -e "$DATA/stowkeep.lock" || fail "no lock"
    sleep 0.5
    stop "$signal"
done

# A lock left by a killed process is taken over.
printf '999999\nstowkeep\n%s\n' "$(hostname)" >"$DATA/stowkeep.lock"
start
sleep 2
alive "$PID" || fail "a stale lock stopped the start"
stop TERM

# A lock that another computer left (a home folder copied from it) is taken over with a
# line on standard error, and the due profile runs.
mkdir -p "$WORK/src" "$WORK/dst"
echo "data" >"$WORK/src/file.txt"
printf '[Hourly]\nSourceFolder=%s\nDestinationFolder=%s\nFrequencyOption=2\nFrequencyInterval=1\n' \
    "$WORK/src" "$WORK/dst" >"$STORE"
printf '4242\nstowkeep\nanother-computer.example\n' >"$DATA/stowkeep.lock"
start
ran() { [ -n "$(value Hourly LastRun)" ]; }
wait_for 60 ran || { cat "$WORK/out.log" >&2; fail "a foreign lock stopped the start"; }
grep -q 'another-computer.example' "$WORK/out.log" || fail "taking over the foreign lock was not said"
grep -qx "$(hostname)" "$DATA/stowkeep.lock" || fail "the lock was not taken over"
[ -n "$(ls "$WORK/dst")" ] || fail "the due profile made no backup"

# A running instance that does not answer: a second start says so and ends when told to.
kill -STOP "$PID"
"$STOWKEEP" >"$WORK/second.log" 2>&1 &
second=$!
PIDS+=("$second")
wait_for 30 grep -q "does not answer" "$WORK/second.log" || { kill -CONT "$PID"; fail "a hung instance was not reported"; }
alive "$second" || { kill -CONT "$PID"; fail "the second start ended without showing its box"; }
kill -TERM "$second"
wait_for 20 gone "$second" || { kill -CONT "$PID"; fail "the second start did not end on SIGTERM"; }
status=0
wait "$second" || status=$?
kill -CONT "$PID"
[ "$status" -ne 0 ] || fail "a refused start ended with status 0"
stop TERM

# A signal during the load of a large damaged store still ends the program.
{
    for i in $(seq 200); do
        printf '[Damaged %d]\nFrequencyOption=0\n' "$i"
        printf 'junk line without a key\n%.0s' $(seq 700)
    done
} >"$STORE"
start
wait_for 20 test -e "$DATA/stowkeep.lock" || fail "no lock"
stop TERM

# A store full of garbage loads what it can; the program goes on running.
{
    printf '[Good]\nFrequencyOption=0\nSourceFolder=/nowhere\n'
    printf 'Junk\0with\0NULs\n\xff\xfe\xc3(\n'
    head -c 3000000 /dev/zero | tr '\0' 'x'
    printf '\n[Unclosed\nFrequencyOption=0\n[Also good]\nFrequencyOption=0x0\n'
} >"$STORE"
start
sleep 3
alive "$PID" || { cat "$WORK/out.log" >&2; fail "a corrupt store ended the program"; }
stop TERM
grep -q '^\[Good\]' "$STORE" || fail "the store lost a section"
echo "1 passed, 0 failed"
