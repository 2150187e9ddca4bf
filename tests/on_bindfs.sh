#!/usr/bin/env bash
# Runs the end-to-end tests with their folders on a FUSE mount (bindfs),
# which, like network shares, USB sticks and user-space mounts, has no
# unnamed files: there the program writes its copy aside under a hidden name.
# Mounting needs root and /dev/fuse: elsewhere the run is skipped (77),
# except in CI, where it must run.
set -u
tests=$1
skip() {
  echo "bindfs cases not run: $1"
  [ -n "${CI:-}" ] && exit 1
  exit 77
}
[ "$(id -u)" = 0 ] || skip "mounting needs root"
command -v bindfs >/dev/null || skip "bindfs is not installed"
[ -e /dev/fuse ] || skip "no /dev/fuse"
base=$(mktemp -d)
mkdir "$base/files" "$base/mount"
bindfs "$base/files" "$base/mount" || skip "bindfs could not mount"
trap 'umount "$base/mount"; rm -rf "$base"' EXIT
# The point of the run: the folder must lack what the program prefers.
if python3 -c 'import os, sys; os.open(sys.argv[1], os.O_TMPFILE | os.O_WRONLY)' "$base/mount" 2>/dev/null; then
  echo "the bindfs mount takes unnamed files: it tests nothing new"
  exit 1
fi
TMPDIR="$base/mount" "$tests"
