#!/usr/bin/env bash
# The command line's restore, through the real binary with no display: a chain of three
# encrypted backups made by the tray program under a fake clock, whose profile's password
# was changed since; then runs, files, restore --at / --run / --to / --existing, the exit
# statuses, the backups of the profile under its former name, and a restore with the
# catalog deleted.
source "$(dirname "$0")/common.sh"

mkdir -p "$DATA" "$WORK/src/sub" "$WORK/dst"
printf 'v1' >"$WORK/src/a.txt"
printf 'b' >"$WORK/src/sub/b.txt"
touch -d @1600000000 "$WORK/src/sub/b.txt"
mkdir "$WORK/src/caps" && printf 'upper' >"$WORK/src/caps/Read.me" && printf 'lower' >"$WORK/src/caps/read.me"
printf 'upper' >"$WORK/src/caps/Ärger.txt" && printf 'lower' >"$WORK/src/caps/ärger.txt"
printf 'notes' >"$WORK/src/caps/at 10:30.txt" # a name that exFAT and FAT do not allow
printf 'gone' >"$WORK/src/del.txt"
odd=$'caf\xe9.txt' # a name from a Latin-1 system: not UTF-8
printf 'odd' >"$WORK/src/$odd"
forged=$'x\n9\t2020-01-01 00:00\tFORGED.txt' # a name that would print as a line of its own
printf 'f' >"$WORK/src/$forged"
printf 'c' >"$WORK/src/"$'csi\xc2\x9b2J.txt' # U+009B: an escape sequence to some terminals
printf 'b' >"$WORK/src/"$'bidi\xe2\x80\xaetxt.exe' # U+202E: shown as "bidiexe.txt"
printf 'secret1' >"$WORK/pw"

run_at() {
    cat >"$STORE" <<INI
[Docs]
SourceFolder=$WORK/src
DestinationFolder=$WORK/dst
FrequencyOption=2
FrequencyInterval=1
BackupType=1
CompressPassword=secret1
INI
    start "2026-12-09 $1:00:12"
    wait_for 120 has_value Docs LastRun "2026/12/09 $1:00" || { cat "$WORK/out.log" >&2; fail "the run at $1:00 did not finish"; }
    stop TERM
}
run_at 08
printf 'v2' >"$WORK/src/a.txt"
rm "$WORK/src/del.txt"
printf 'new' >"$WORK/src/new.txt"
chmod 600 "$WORK/src/sub/b.txt"
run_at 09
printf 'v3' >"$WORK/src/a.txt"
run_at 10
# The password changed since: the backups need the old one.
sed -i 's/^CompressPassword=.*/CompressPassword=other/' "$STORE"

# No display, no tray, no controlling terminal to ask a password on; the clock after the
# backups (or at $CLI_NOW).
faketime_lib=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -n 1)
cli() {
    env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY LD_PRELOAD="$faketime_lib" \
        FAKETIME="@${CLI_NOW:-2026-12-09 12:00:00}" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        setsid -w "$STOWKEEP" "$@" </dev/null
}
status() { local s=0; cli "$@" >"$WORK/cli.out" 2>"$WORK/cli.err" || s=$?; echo "$s"; }
expect() { # expect STATUS ARGS...
    local want=$1; shift
    local got; got=$(status "$@")
    [ "$got" = "$want" ] || { cat "$WORK/cli.out" "$WORK/cli.err" >&2; fail "stowkeep $* ended with $got, not $want"; }
}
same() { [ "$(cat "$1")" = "$2" ] || fail "$1 holds '$(cat "$1" 2>/dev/null)', not '$2'"; }

expect 0 --help
grep -q -- '--existing skip|keep-both|replace' "$WORK/cli.out" || fail "no usage"

expect 0 runs --profile Docs
[ "$(wc -l <"$WORK/cli.out")" = 3 ] || fail "runs: $(cat "$WORK/cli.out")"
head -n 1 "$WORK/cli.out" | grep -q $'\t2026-12-09 10:00:1.\tincremental\t' || fail "not newest first: $(cat "$WORK/cli.out")"
first=$(tail -n 1 "$WORK/cli.out" | cut -f 1)

expect 0 files --profile docs --at "2026-12-09 09:00"
grep -q $'^2\t.*\ta.txt$' "$WORK/cli.out" || fail "files at 09:00: $(cat "$WORK/cli.out")"
grep -q 'new.txt$' "$WORK/cli.out" || fail "files at 09:00 miss new.txt"
! grep -q 'del.txt' "$WORK/cli.out" || fail "a file deleted before 09:00 is listed"
expect 0 files --profile Docs --run "$first"
grep -q 'del.txt$' "$WORK/cli.out" || fail "the first run's files: $(cat "$WORK/cli.out")"

# The middle run, with the old password from a file.
expect 0 restore --profile Docs --at "2026-12-09 09:00" --to "$WORK/out" --password-file "$WORK/pw"
same "$WORK/out/a.txt" v2
same "$WORK/out/new.txt" new
[ ! -e "$WORK/out/del.txt" ] || fail "a deleted file came back"
[ "$(stat -c %a "$WORK/out/sub/b.txt")" = 600 ] || fail "mode not restored"
[ "$(stat -c %Y "$WORK/out/sub/b.txt")" = 1600000000 ] || fail "time not restored"

# A USB stick formatted exFAT and mounted by exfat-fuse, as any file system served by FUSE's
# older library, takes a modification time only together with the access time: the files
# keep their times there too. It does not tell upper from lower case either (Ä from ä no
# more than R from r): of two names that differ only so, the second is named as not
# restored; and a name with a colon is named as one the drive does not allow. Tried where
# this test can mount one (root, a loop device).
stick=$WORK/stick
if [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] && command -v mount.exfat-fuse >/dev/null && truncate -s 8M "$WORK/stick.img" &&
    mkfs.exfat "$WORK/stick.img" >/dev/null 2>&1 && loop=$(losetup -f --show "$WORK/stick.img" 2>/dev/null); then
    trap 'umount "$stick" 2>/dev/null; losetup -d "$loop"; cleanup' EXIT
    mkdir "$stick"
    mount.exfat-fuse "$loop" "$stick" >/dev/null 2>&1 || fail "cannot mount the exFAT image"
    expect 0 restore --profile Docs --at "2026-12-09 08:00" --to "$stick/out" --password-file "$WORK/pw" sub
    [ "$(stat -c %Y "$stick/out/sub/b.txt")" = 1600000000 ] || fail "time not restored on exFAT"
    expect 1 restore --profile Docs --to "$stick/out" --existing replace --password-file "$WORK/pw" caps
    [ "$(cat "$WORK/cli.out" "$WORK/cli.err" | grep -c 'does not tell upper from lower case')" = 2 ] ||
        fail "two names as one: $(cat "$WORK/cli.out")"
    grep -q 'at 10:30.txt.*does not allow its name' "$WORK/cli.out" "$WORK/cli.err" || fail "a refused name: $(cat "$WORK/cli.out")"
    [ "$(ls "$stick/out/caps" | wc -l)" = 2 ] || fail "exFAT lists other names: $(ls "$stick/out/caps")"
else
    echo "exFAT through FUSE: not tried here"
fi
# Without it, and no terminal to ask on: no password opens the backup.
expect 4 restore --profile Docs --to "$WORK/out-nopw"
# The drive not there: the backups cannot be read.
mv "$WORK/dst" "$WORK/dst-away"
expect 3 restore --profile Docs --to "$WORK/out-away" --password-file "$WORK/pw"
grep -q 'not available' "$WORK/cli.out" "$WORK/cli.err" || fail "the missing drive is not named"
mv "$WORK/dst-away" "$WORK/dst"

# A backup dated after the clock (made while it was ahead) is not the newest one.
CLI_NOW="2026-12-09 09:30:00" expect 0 restore --profile Docs --to "$WORK/out-ahead" --password-file "$WORK/pw" a.txt
same "$WORK/out-ahead/a.txt" v2

# Existing files: skipped by default, kept beside, or replaced.
expect 0 restore --profile Docs --to "$WORK/out" --password-file "$WORK/pw" a.txt
same "$WORK/out/a.txt" v2
expect 0 restore --profile Docs --to "$WORK/out" --existing keep-both --password-file "$WORK/pw" a.txt
same "$WORK/out/a (restored).txt" v3
expect 0 restore --profile Docs --to "$WORK/out" --existing replace --password-file "$WORK/pw" "$WORK/src/a.txt"
same "$WORK/out/a.txt" v3

# The odd name, as the listing prints it and as the shell passes it: that very file.
expect 0 files --profile Docs --password-file "$WORK/pw"
LC_ALL=C grep -q $'\t'"$odd"'$' "$WORK/cli.out" || fail "the odd name is not listed byte for byte"
# Its line break and tabs shown as the symbols for them (U+240A, U+2409), on one line.
LC_ALL=C grep -q $'^1\t.*\tx\xe2\x90\x8a9\xe2\x90\x892020-01-01 00:00\xe2\x90\x89FORGED.txt$' "$WORK/cli.out" \
    || fail "a name with a line break and tabs is not shown on one line: $(grep -n FORGED "$WORK/cli.out")"
LC_ALL=C grep -q $'csi\xef\xbf\xbd2J.txt$' "$WORK/cli.out" || fail "U+009B not shown as U+FFFD"
LC_ALL=C grep -q $'bidi\xef\xbf\xbdtxt.exe$' "$WORK/cli.out" || fail "U+202E not shown as U+FFFD"
expect 0 restore --profile Docs --to "$WORK/out-odd" --password-file "$WORK/pw" "$odd"
[ "$(ls "$WORK/out-odd")" = "$odd" ] || fail "restored by its odd name: $(ls "$WORK/out-odd")"
same "$WORK/out-odd/$odd" odd

# A file in the way of a folder: named, the rest restored, status 1.
mkdir -p "$WORK/blocked" && printf 'mine' >"$WORK/blocked/sub"
expect 1 restore --profile Docs --to "$WORK/blocked" --password-file "$WORK/pw"
grep -q 'sub' "$WORK/cli.out" || fail "the blocked path is not named: $(cat "$WORK/cli.out")"
same "$WORK/blocked/a.txt" v3
same "$WORK/blocked/sub" mine
# A target that is a file: told in a sentence of its own, and no word of checked files.
expect 1 restore --profile Docs --to "$WORK/blocked/sub" --password-file "$WORK/pw"
grep -q 'sub: Not a directory\. ' "$WORK/cli.out" || fail "the target's error: $(cat "$WORK/cli.out")"
! grep -q 'Every restored file' "$WORK/cli.out" || fail "nothing restored, yet checked: $(cat "$WORK/cli.out")"

# Without --to: into the source folder.
rm "$WORK/src/a.txt"
expect 0 restore --profile Docs --password-file "$WORK/pw" a.txt
same "$WORK/src/a.txt" v3

# Wrong requests.
expect 3 restore --profile Docs --at "2026-12-09 07:59" --to "$WORK/none"
expect 2 restore --profile Docs --at "2026-12-09 25:00" --to "$WORK/none"
expect 3 runs --profile Nobody
expect 2 restor --profile Docs --to "$WORK/none"
expect 2 restore --profile Docs --password secret1
expect 2 restore --profile Docs ../outside
[ ! -e "$WORK/none" ] || fail "a refused restore wrote"

# The profile renamed (in letter case only): its backups by its former name, where --to says.
sed -i 's/^\[Docs\]$/[docs]/' "$STORE"
expect 0 runs --profile Docs
[ "$(wc -l <"$WORK/cli.out")" = 3 ] || fail "runs by the former name: $(cat "$WORK/cli.out")"
expect 2 restore --profile Docs --password-file "$WORK/pw"
expect 0 restore --profile Docs --to "$WORK/out-renamed" --password-file "$WORK/pw" sub
same "$WORK/out-renamed/sub/b.txt" b
sed -i 's/^\[docs\]$/[Docs]/' "$STORE"

# The catalog lost: the runs come from the archives' own lists.
rm -f "$DATA/Catalogs/catalog.db"*
expect 0 runs --profile Docs
[ "$(wc -l <"$WORK/cli.out")" = 3 ] || fail "runs without a catalog: $(cat "$WORK/cli.out")"
expect 0 restore --profile Docs --at "2026-12-09 09:00" --to "$WORK/out-nocat" --password-file "$WORK/pw"
same "$WORK/out-nocat/a.txt" v2
[ ! -e "$WORK/out-nocat/del.txt" ] || fail "a deleted file came back"
# ... and the newest archive cut short: the one before it is restored, and the user told why.
newest=$(ls "$WORK/dst"/*-10????_*.zip)
truncate -s $(($(stat -c %s "$newest") / 2)) "$newest"
rm -f "$DATA/Catalogs/catalog.db"*
sed -i 's/^CompressPassword=.*/CompressPassword=secret1/' "$STORE"
expect 1 restore --profile Docs --to "$WORK/out-cut"
grep -q 'The newer backup of 2026-12-09 10:00:1. cannot be restored: it is damaged' "$WORK/cli.err" \
    || fail "the damaged newest backup is not named: $(cat "$WORK/cli.err")"
same "$WORK/out-cut/a.txt" v2
echo "1 passed, 0 failed"
