#!/usr/bin/env bash
# Runs the end-to-end tests with their folders on a file system of the kind
# given, mounted for the run, after checking that it is that kind:
#   bindfs  a FUSE mount, as network shares and user-space mounts behave: no
#           unnamed files; every case in every way the test build can force
#   xfs, btrfs  loop images, in the kernel: unnamed files
#   exfat   exfat-fuse on a loop device, as USB sticks are mounted where the
#           kernel has no exFAT driver: neither hard links nor renaming
#           without replacing
#   ntfs    ntfs-3g on a loop device, as external Windows disks are mounted:
#           hard links, no unnamed files
# On the file systems of loop images each case runs in the program's own way
# only. The fault-injection tests run there too where given (CI gives them
# for bindfs). Mounting needs root and /dev/fuse or loop devices: elsewhere the run
# is skipped (77), except in CI, where it must run.
set -u
kind=$1
tests=$2
# $3: the build's BRMARK_ENCODING; $4, where given: the fault-injection
# tests, run there too.
faults=${4:-}
skip() {
  echo "$kind cases not run: $1"
  [ -n "${CI:-}" ] && exit 1
  exit 77
}
# A Shift-JIS build's prefix is no UTF-8 name, and these take UTF-8 names
# only: nothing there to run, in CI either.
if [ "${3:-}" = SHIFT_JIS ] && { [ "$kind" = exfat ] || [ "$kind" = ntfs ]; }; then
  echo "$kind cases not run: a Shift-JIS build's names are no UTF-8, which $kind takes only"
  exit 77
fi
[ "$(id -u)" = 0 ] || skip "mounting needs root"
base=$(mktemp -d /var/tmp/brmark-fs-XXXXXX)
mount_point=$base/mount
mkdir "$mount_point"
device=""
cleanup() {
  umount "$mount_point" 2>/dev/null
  [ -n "$device" ] && losetup -d "$device"
  rm -rf "$base"
}
trap cleanup EXIT

# An image of the kind, sparse, on a loop device.
image_on_loop() {
  truncate -s 400M "$base/image" || skip "no room for an image"
  "$@" "$base/image" >/dev/null 2>&1 || skip "$1 failed"
  device=$(losetup -f --show "$base/image") || skip "no loop device"
}

case $kind in
  bindfs)
    command -v bindfs >/dev/null || skip "bindfs is not installed"
    mkdir "$base/files"
    bindfs "$base/files" "$mount_point" || skip "bindfs could not mount"
    ;;
  xfs | btrfs)
    command -v "mkfs.$kind" >/dev/null || skip "mkfs.$kind is not installed"
    image_on_loop "mkfs.$kind" -f
    mount "$device" "$mount_point" || skip "$kind could not be mounted"
    ;;
  exfat)
    command -v mount.exfat-fuse >/dev/null || skip "exfat-fuse is not installed"
    image_on_loop mkfs.exfat
    mount.exfat-fuse "$device" "$mount_point" || skip "exfat-fuse could not mount"
    ;;
  ntfs)
    command -v ntfs-3g >/dev/null || skip "ntfs-3g is not installed"
    image_on_loop mkntfs -q -F -f
    ntfs-3g "$device" "$mount_point" || skip "ntfs-3g could not mount"
    ;;
  *)
    echo "no such kind: $kind"
    exit 2
    ;;
esac

# The point of the run: the folder is the kind it claims, with and without
# what the program prefers.
python3 - "$kind" "$mount_point" <<'CHECK' || exit 1
import os, sys
kind, folder = sys.argv[1], sys.argv[2]
def takes(call):
    try:
        call()
        return True
    except OSError:
        return False
def unnamed():
    os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600))
probe = os.path.join(folder, ".probe")
open(probe, "w").close()
def link():
    os.link(probe, probe + "2")
    os.remove(probe + "2")
takes_unnamed, takes_links = takes(unnamed), takes(link)
os.remove(probe)
with open("/proc/self/mounts") as mounts:
    types = [line.split()[2] for line in mounts if line.split()[1] == folder]
expected = {"bindfs": ("fuse", False, True), "xfs": ("xfs", True, True),
            "btrfs": ("btrfs", True, True), "exfat": ("fuseblk", False, False),
            "ntfs": ("fuseblk", False, True)}[kind]
found = (types[-1] if types else "none", takes_unnamed, takes_links)
if found != expected:
    sys.exit(f"{kind}: mounted as {found[0]}, unnamed files {found[1]}, hard links {found[2]}; "
             f"expected {expected}")
print(f"{kind}: a {found[0]} mount; unnamed files {found[1]}, hard links {found[2]}")
CHECK

filter=()
[ "$kind" = bindfs ] || filter=(--gtest_filter='-*_link:*_rename:*_claim:*_guarded')
TMPDIR="$mount_point" "$tests" "${filter[@]}" || exit 1
[ -z "$faults" ] || TMPDIR="$mount_point" "$faults"
