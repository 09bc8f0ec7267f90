#!/bin/sh
# The virtual units' state folder as the programs meet it, on a small file
# system of its own that fills up: links are refused and never written
# through, a run that changed nothing rewrites no unit, one program at a time,
# a folder that is a file, read-only or full is found before any unit hears a
# byte, and a save that does not fit leaves the state from before, whole.
#
# usage: state_folders_on_tmpfs.sh BUILD_DIR
# Runs in a private mount namespace; exits 77 (skipped) where none can be made
# or no tmpfs can be mounted in it.
set -u
build=$1
if [ -z "${QUIL_STATE_TEST_NS:-}" ]; then
    for how in -m -rm; do
        if unshare $how true 2>/dev/null; then
            QUIL_STATE_TEST_NS=1 exec unshare $how "$0" "$@"
        fi
    done
    echo "skipped: no private mount namespace can be made here"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quil-state-test.XXXXXX") || exit 1
fs=$work/fs
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill -9 "$sim_pid" 2>/dev/null
    umount "$fs" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$fs"
# Room for the first update's bank, not for a second bank beside it.
if ! mount -t tmpfs -o size=12m tmpfs "$fs" 2>/dev/null; then
    echo "skipped: no tmpfs can be mounted here"
    exit 77
fi
cd "$work" || exit 1

quilupdate=$build/ui/quilupdate
quiltool=$build/tools/quiltool
quilsim=$build/tools/quil-sim
state=$fs/state
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# run NAME EXPECTED-STATUS PROGRAM ARGS...: output in NAME.out and NAME.err
run() {
    name=$1 expected=$2
    shift 2
    "$@" >"$name.out" 2>"$name.err" </dev/null
    status=$?
    [ "$status" -eq "$expected" ] || fail "$name: exit status $status, not $expected: $(cat "$name.err")"
}
says() { grep -qF -- "$2" "$1" || fail "$1 does not say '$2': $(cat "$1")"; }
silent_on() { ! grep -qF -- "$2" "$1" || fail "$1 says '$2'"; }
update() { run "$1" "$2" "$quilupdate" --console --simulate --update --yes --sim-state "$3" ${4:-}; }
# Every unit folder and file with its inode and time (the state folder's own
# time moves with each run's lock).
unit_listing() { ls -lai --time-style=full-iso "$state"/*/ | grep -v ' \.\.$'; }

"$quiltool" extract QUIL0803C.BIN image.bin || exit 1

# An update into a new folder keeps the image in bank 2.
update first 0 "$state"
says first.out "Congratulations!"
cmp -s image.bin "$state/3118220001/bank2.bin" || fail "bank2.bin is not the image"

# What an interrupted save left is cleared by the next run, and a run that
# changes nothing rewrites no unit.
mkdir "$state/.3118220001.save-Ab3dE6"
echo partial >"$state/.3118220001.save-Ab3dE6/bank2.bin"
echo partial >"$state/3119100042/.bank2.bin.Qw3eR5"
run get 0 "$quiltool" mixer --simulate --sim-state "$state" get PID
[ "$(cat get.out)" = "49" ] || fail "mixer get PID printed $(cat get.out)"
[ -z "$(ls -A "$state" | grep save-)" ] || fail "an unfinished save is left: $(ls -A "$state")"
[ ! -e "$state/3119100042/.bank2.bin.Qw3eR5" ] || fail "a stray temporary is left"
before=$(unit_listing)
run get-again 0 "$quiltool" mixer --simulate --sim-state "$state" get PID
[ "$before" = "$(unit_listing)" ] || fail "a run that changed nothing rewrote the units: $(unit_listing)"

# Links in a copy of the folder: refused, nothing written through them.
links=$fs/links
cp -a "$state" "$links"
echo "the user's own" >outside
ln -sf "$work/outside" "$links/3118220001/bank1.bin"
rm "$links/3118220001/unit.txt"
ln -s "$work/made-by-a-link" "$links/3118220001/unit.txt"
update links 1 "$links" PROM=1
says links.err "3118220001/bank1.bin: is a symbolic link"
silent_on links.out "Downloading"
run links-mixer 1 "$quiltool" mixer --simulate --sim-state "$links" set SourceSelect 0
says links-mixer.err "is a symbolic link"
[ "$(cat outside)" = "the user's own" ] || fail "a link's target was written"
[ ! -e made-by-a-link ] || fail "a dangling link made a file"
rm -rf "$links"

# Registers that are no unit's.
garbage=$fs/garbage
cp -a "$state" "$garbage"
head -c 2048 /dev/zero | tr '\0' '\104' >"$garbage/3118220001/registers.bin"
update garbage 1 "$garbage"
says garbage.err "registers.bin: product identifier 0x44 is not one of a unit the virtual Quil models"
silent_on garbage.out "Congratulations!"
rm -rf "$garbage"

# One program at a time: quil-sim holds the folder while it serves, and a
# device that never runs dry keeps it from neither SIGHUP nor SIGINT.
for signal in HUP INT; do
    "$quilsim" --rawmidi /dev/zero --sim-state "$state" >sim.out 2>sim.err &
    sim_pid=$!
    tries=0
    until grep -q "on /dev/zero" sim.out 2>/dev/null || [ $tries -ge 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    update busy 1 "$state"
    says busy.err "cannot use the state folder: $state is in use by quil-sim (process $sim_pid)"
    silent_on busy.out "Downloading"
    kill -s "$signal" "$sim_pid"
    tries=0
    while kill -0 "$sim_pid" 2>/dev/null && [ $tries -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
        fail "quil-sim on /dev/zero outlived SIG$signal"
        kill -9 "$sim_pid"
    fi
    wait "$sim_pid"
    status=$?
    sim_pid=
    [ "$status" -eq 0 ] || fail "quil-sim ended by SIG$signal with status $status: $(cat sim.err)"
    says sim.out "quil-sim: units saved in $state"
done

# Only the folder named is made: one whose parent is missing is refused by
# every program, and nothing above it is made.
update absent 1 "$fs/absent/state"
says absent.err "cannot use the state folder: $fs/absent/state: No such file or directory"
run absent-mixer 1 "$quiltool" mixer --simulate --sim-state "$fs/absent/state" get PID
says absent-mixer.err "$fs/absent/state: No such file or directory"
run absent-sim 1 "$quilsim" --rawmidi /dev/null --sim-state "$fs/absent/state"
says absent-sim.err "cannot use the state folder: $fs/absent/state: No such file or directory"
[ ! -e "$fs/absent" ] || fail "a folder above the state folder was made"

# A folder that is a file, read-only or full is found before the update.
touch "$fs/file"
update file 1 "$fs/file"
says file.err "cannot use the state folder: $fs/file: is not a folder"
silent_on file.out "Downloading"
mount -o remount,ro "$fs" || fail "cannot remount read-only"
update readonly 1 "$state"
says readonly.err "cannot use the state folder: $state: Read-only file system"
silent_on readonly.out "Downloading"
mount -o remount,rw "$fs"
dd if=/dev/zero of="$fs/filler" bs=64k 2>/dev/null
update full 1 "$state"
says full.err "cannot use the state folder: $state: No space left on device"
silent_on full.out "Downloading"
rm -f "$fs/filler"

# An update whose save does not fit (a second bank beside the first): the
# run says so plainly, logs it, fails, and leaves the state from before.
cp "$state/3118220001/unit.txt" unit-before.txt
update nofit 1 "$state" PROM=1
says nofit.out "Congratulations!"
says nofit.err "the virtual units' state was NOT kept in $state"
says nofit.err "unit 3118220001: $state/3118220001/bank2.bin: No space left on device"
says QuilUpdate.log "The virtual units' state was NOT kept in $state"
kept=$(grep -n "NOT kept" QuilUpdate.log | tail -n 1 | cut -d: -f1)
exiting=$(grep -n "Exiting" QuilUpdate.log | tail -n 1 | cut -d: -f1)
[ "${kept:-0}" -lt "${exiting:-0}" ] || fail "the failed save is not logged before the run's exit entry"
[ -z "$(ls -A "$state" | grep save-)" ] || fail "a failed save left: $(ls -A "$state")"
cmp -s image.bin "$state/3118220001/bank2.bin" || fail "bank2.bin is no longer the image"
[ ! -s "$state/3118220001/bank1.bin" ] || fail "bank1.bin was written"
cmp -s unit-before.txt "$state/3118220001/unit.txt" || fail "unit.txt changed: $(cat "$state/3118220001/unit.txt")"
run after 0 "$quiltool" mixer --simulate --sim-state "$state" get PID

if [ "$failures" -ne 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "state folders: all checks passed"
