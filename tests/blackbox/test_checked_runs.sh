#!/usr/bin/env bash
# Runs that check what they build on, through the real binary: backups deleted by the
# user, a damaged full backup under a chain, a source removed while it is backed up. Also:
# no core dump, and every extraction example of the help page names an output folder.
source "$(dirname "$0")/common.sh"

mkdir -p "$DATA" "$WORK/src/sub" "$WORK/dst"
echo "hello" >"$WORK/src/a.txt"
echo "world" >"$WORK/src/sub/b.txt"
LOG=$DATA/Logs/2026-12-09.log

# run_at HH: Stowkeep started at HH:00:12 on 9 December 2026 runs the profile (due at
# once, having no next run) to its end, and is stopped.
run_at() {
    cat >"$STORE" <<INI
[Docs]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=2
FrequencyInterval=1
BackupType=1
CompressLevel=3
BoolVerifyBackup=1
INI
    start "2026-12-09 $1:00:12"
    wait_for 120 has_value Docs LastRun "2026/12/09 $1:00" || { cat "$WORK/out.log" "$LOG" >&2; fail "the run at $1:00 did not finish"; }
    stop TERM
}
newest() { ls "$WORK/dst" | grep '\.zip$' | tail -n 1; }
# newest_is HH KIND: the newest backup is of the run at HH:00 and of that kind.
newest_is() { newest | grep -Eq "^Docs_20261209-${1}00[0-9]{2}_$2\.zip\$" ; }
summary() { grep "Backup of \"Docs\" \(finished\|ended\)" "$LOG" | tail -n 1; }

run_at 08
newest_is 08 full || fail "first backup: $(ls "$WORK/dst")"

# The user frees space: the next run starts afresh instead of waiting for another medium.
rm "$WORK/dst/"*.zip
run_at 09
newest_is 09 full || fail "no new full backup after the backups were deleted: $(summary)"
summary | grep -q "earlier backups of this set in $WORK/dst were not found" || fail "not said: $(summary)"

# A damaged full backup under a chain: the next run is a full backup that says why.
echo "changed" >>"$WORK/src/a.txt"
run_at 10
newest_is 10 incremental || fail "no incremental backup: $(summary)"
full=$(ls "$WORK/dst" | grep '^Docs_20261209-09.*_full\.zip$')
truncate -s -100 "$WORK/dst/$full"
echo "changed again" >>"$WORK/src/a.txt"
run_at 11
newest_is 11 full || fail "built on a damaged backup: $(summary)"
summary | grep -q "full backup instead of an incremental one: the earlier backup $WORK/dst/$full has changed size" \
    || fail "not said why: $(summary)"

# The source removed while it is being backed up (slow to compress, so the run is still
# reading when the removal comes): the run fails and keeps nothing.
for i in $(seq 1 16); do head -c 3000000 /dev/urandom | base64 >"$WORK/src/sub/big-$i.txt"; done
before=$(ls -A "$WORK/dst")
(
    part() { ls -A "$WORK/dst" | grep -q '^\.Docs_.*\.zip\.part$'; }
    wait_for 120 part && rm -rf "$WORK/src"
) &
remover=$!
run_at 12
wait "$remover" || fail "the source was not removed during the run"
summary | grep -q 'ended with code 3 (source not found); .*; nothing of this run was kept;' || fail "the run with a vanished source: $(summary)"
grep -q "The source folder $WORK/src was removed or replaced" "$LOG" || fail "not said: $(tail -n 3 "$LOG")"
[ "$(ls -A "$WORK/dst")" = "$before" ] || fail "something of the failed run was kept: $(ls -A "$WORK/dst")"

# The process holds passwords: no core dump, whatever the shell's limit.
ulimit -c unlimited 2>/dev/null || true
start
wait_for 20 test -e "$DATA/stowkeep.lock" || fail "no lock"
grep -Eq '^Max core file size +0 +0 ' "/proc/$PID/limits" || fail "core dumps allowed: $(grep core "/proc/$PID/limits")"
stop TERM

# Extracting beside the backup must never be what an example of the help page does.
help=$(dirname "$STOWKEEP")/help.html
examples=0
while read -r code; do
    case "$code" in
        *"7z x "*) [[ "$code" == *" -o"* ]] || fail "an example extracts into the current folder: $code" ;;
        *"bsdtar "*-x*) [[ "$code" == *" -C "* ]] || fail "an example extracts into the current folder: $code" ;;
        "<code>unzip "*) [[ "$code" == *" -d "* ]] || fail "an example extracts into the current folder: $code" ;;
        *) continue ;;
    esac
    examples=$((examples + 1))
done < <(grep -oE '<code>[^<]*</code>' "$help")
[ "$examples" -ge 3 ] || fail "the help page has no extraction examples"
echo "1 passed, 0 failed"
