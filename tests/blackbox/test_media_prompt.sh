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
# The run starts and the engine asks for the medium; the question waits for an answer.
asking() { grep -q "not available; asking for it" "$DATA"/Logs/*.log 2>/dev/null; }
wait_for 60 asking || { cat "$WORK/out.log" >&2; fail "the medium was not asked for"; }
sleep 1
alive "$PID" || { cat "$WORK/out.log" >&2; fail "Stowkeep ended while asking for the medium"; }
[ -z "$(value Unplugged LastRun)" ] || fail "the run finished without an answer"
stop TERM
[ -z "$(value Unplugged LastRun)" ] || fail "the run cut short was recorded"
[ -z "$(value Unplugged NextRun)" ] || fail "the run cut short was placed"
[ ! -e "$WORK/media/drive" ] || fail "the missing destination was created"
[ -z "$(find "$WORK/media" -mindepth 1)" ] || fail "files were left behind"
echo "1 passed, 0 failed"
