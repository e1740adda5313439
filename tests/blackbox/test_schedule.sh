#!/usr/bin/env bash
# Hand-written profiles under a fake clock (Wednesday 9 December 2026, 08:00:12): the
# program runs exactly the due profiles and writes the texts the schedule rules give.
source "$(dirname "$0")/common.sh"

mkdir -p "$DATA" "$WORK/src/sub" "$WORK/dst" "$WORK/dst-manual"
echo "hello" >"$WORK/src/a.txt"
echo "world" >"$WORK/src/sub/b.txt"
cat >"$STORE" <<INI
[Hourly]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=2
FrequencyInterval=2
[Nightly]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=3
StartingTime=22:0
LastRun=2026/12/07 22:00
NextRun=2026/12/08 22:00
[Friday]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=4
WeekDay=Friday
StartingTime=18:0
[Monday]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=4
WeekDay=Monday
StartingTime=9:0
NextRun=2026/12/07 09:00
[By hand]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst-manual
FrequencyOption=0
INI

start "2026-12-09 08:00:12"
wait_for 60 has_value Monday NextRun "2026/12/14 09:00" || { cat "$WORK/out.log" >&2; cat "$STORE" >&2; fail "the due profiles were not run"; }

has_value Hourly LastRun "2026/12/09 08:00" || fail "Hourly LastRun: $(value Hourly LastRun)"
has_value Hourly NextRun "2026/12/09 10:00" || fail "Hourly NextRun: $(value Hourly NextRun)"
has_value Nightly LastRun "2026/12/07 22:00" || fail "Nightly ran"
has_value Nightly NextRun "2026/12/09 22:00" || fail "Nightly NextRun: $(value Nightly NextRun)"
has_value Friday NextRun "2026/12/11 18:00" || fail "Friday NextRun: $(value Friday NextRun)"
[ -z "$(value Friday LastRun)" ] || fail "Friday ran"
has_value Monday LastRun "2026/12/09 08:00" || fail "Monday LastRun: $(value Monday LastRun)"
[ -z "$(value 'By hand' LastRun)" ] || fail "a manual profile was run"
[ -z "$(value 'By hand' NextRun)" ] || fail "a manual profile was placed"

# Exactly the two due profiles made a backup each, and nothing was left half-written.
[ "$(ls "$WORK/dst" | grep -c '^Hourly_20261209-0800[0-9][0-9]_full\.zip$')" = 1 ] || { ls -la "$WORK/dst" >&2; fail "no backup of Hourly"; }
[ "$(ls "$WORK/dst" | grep -c '^Monday_20261209-0800[0-9][0-9]_full\.zip$')" = 1 ] || { ls -la "$WORK/dst" >&2; fail "no backup of Monday"; }
[ "$(ls -A "$WORK/dst" | wc -l)" = 2 ] || { ls -la "$WORK/dst" >&2; fail "unexpected files in the destination"; }
[ -z "$(ls -A "$WORK/dst-manual")" ] || fail "the manual profile wrote a backup"
[ -f "$DATA/Catalogs/catalog.db" ] || fail "no catalog"
ls "$DATA"/Logs/*.log >/dev/null 2>&1 || fail "no log"
7z t "$WORK/dst/$(ls "$WORK/dst" | grep '^Hourly_')" >/dev/null || fail "7-Zip does not accept the backup"

# The next ticks change nothing more.
before=$(md5sum <"$STORE")
sleep 2
[ "$(md5sum <"$STORE")" = "$before" ] || fail "the store changed without a due profile"
stop TERM
echo "1 passed, 0 failed"
