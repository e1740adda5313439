#!/usr/bin/env bash
# A missing destination asks for the medium; the end of the session while the question
# is open ends the program cleanly and leaves nothing behind.
source "$(dirname "$0")/common.sh"

mkdir -p "$DATA" "$WORK/src" "$WORK/media"
echo "data" >"$WORK/src/file.txt"
cat >"$STORE" <<INI
[Unplugged]
SourceFolder=$WORK/src
DestinationFolder=$WORK/media/drive
FrequencyOption=1
FrequencyInterval=5
INI

start "2026-12-09 08:00:12"
# The run starts: LastRun and NextRun are set in memory first, and the question waits.
wait_for 30 grep -q "Unplugged" "$DATA"/Logs/*.log 2>/dev/null || true
sleep 3
alive "$PID" || { cat "$WORK/out.log" >&2; fail "Stowkeep ended while asking for the medium"; }
[ -z "$(value Unplugged LastRun)" ] || fail "the run finished without an answer"
stop TERM
[ ! -e "$WORK/media/drive" ] || fail "the missing destination was created"
[ -z "$(find "$WORK/media" -mindepth 1)" ] || fail "files were left behind"
echo "1 passed, 0 failed"
