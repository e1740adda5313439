#!/usr/bin/env bash
# A weekly backup missed on Monday is caught up at start (fake clock: Wednesday 9 December
# 2026, 08:00:12) and the program is ended by SIGTERM while the archive is being written.
# The cut run is not recorded, so the next start catches it up again.
source "$(dirname "$0")/common.sh"

mkdir -p "$DATA" "$WORK/src" "$WORK/dst"
echo "notes" >"$WORK/src/notes.txt"
# Sparse: takes no disk space, and keeps the backup busy for many seconds.
truncate -s 8G "$WORK/src/big.img"
cat >"$STORE" <<INI
[Weekly]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=4
WeekDay=Monday
StartingTime=9:0
LastRun=2026/11/30 09:00
NextRun=2026/12/07 09:00
INI
before=$(md5sum <"$STORE")

start "2026-12-09 08:00:12"
writing() { ls -A "$WORK/dst" | grep -q '\.zip\.part$'; }
wait_for 60 writing || { cat "$WORK/out.log" >&2; fail "the catch-up run did not start writing"; }
stop TERM
[ "$(md5sum <"$STORE")" = "$before" ] || { cat "$STORE" >&2; fail "the cut run was recorded"; }
[ -z "$(ls -A "$WORK/dst")" ] || { ls -la "$WORK/dst" >&2; fail "the cut run left files behind"; }

# The next start catches the run up.
rm "$WORK/src/big.img"
start "2026-12-09 08:00:12"
wait_for 60 has_value Weekly NextRun "2026/12/14 09:00" || { cat "$WORK/out.log" >&2; cat "$STORE" >&2; fail "the run was not caught up"; }
has_value Weekly LastRun "2026/12/09 08:00" || fail "LastRun: $(value Weekly LastRun)"
[ "$(ls "$WORK/dst" | grep -c '^Weekly_20261209-0800[0-9][0-9]_full\.zip$')" = 1 ] || { ls -la "$WORK/dst" >&2; fail "no backup"; }
stop TERM
echo "1 passed, 0 failed"
