#!/bin/sh
# Replacing, failing and interrupted runs on real file systems, each made in an image and
# mounted for the run: those the kernel has, through loop devices, and vfat and exfat through
# FUSE, as a USB stick is where the kernel has no module for it. Needs root; a file system that
# can't be made or mounted here is named and left out. Usage: check_filesystems.sh TESTS_BINARY
set -u
tests=$1
cases='Output.ReplacingKeepsWhatCallersSee:Output.AFailedWriteLeavesTheOldOutput'
cases=$cases':Output.InterruptedRunsLeaveTheOldOutputOrTheNewOneWhole'
if [ "$(id -u)" != 0 ]; then
  echo "needs root to mount file systems"
  exit 77
fi
work=$(mktemp -d)
mnt=$work/mnt
loop=
mkdir "$mnt"
unmount() {
  if mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  if [ -n "$loop" ]; then losetup -d "$loop"; fi
  loop=
}
trap 'unmount; rm -rf "$work"' EXIT

ran=0 failed=0 left=
# name, image size in MiB, how it is mounted, what makes it
while read -r name size mounter make <&3; do
  [ -n "$name" ] || continue
  img=$work/$name.img
  case $mounter in
    kernel) needs="mount losetup /dev/loop-control" ;;
    tmpfs) needs=mount ;;
    fusefat) needs="fusefat /dev/fuse" ;;
    exfat-fuse) needs="mount.exfat-fuse losetup /dev/fuse" ;;
  esac
  missing=
  for need in $needs ${make%% *}; do
    [ -e "$need" ] || command -v "$need" >/dev/null || missing="$missing $need"
  done
  if [ -n "$missing" ]; then left="$left  $name: no$missing
"; continue; fi
  if [ -n "$make" ] && ! { truncate -s "${size}M" "$img" && $make "$img" >/dev/null 2>&1; }; then
    left="$left  $name: $make failed
"
    continue
  fi
  case $mounter in
    kernel) why=$(mount -o loop "$img" "$mnt" 2>&1) ;;
    tmpfs) why=$(mount -t tmpfs -o "size=${size}m" tmpfs "$mnt" 2>&1) ;;
    fusefat) why=$(fusefat -o rw+ "$img" "$mnt" 2>&1 >/dev/null) ;;
    exfat-fuse) loop=$(losetup -f --show "$img") && why=$(mount.exfat-fuse "$loop" "$mnt" 2>&1) ;;
  esac
  if ! mountpoint -q "$mnt"; then
    left="$left  $name: not mounted: $(echo "$why" | tail -n 1)
"
    unmount
    continue
  fi
  echo "== $name"
  if QUARVEL_TEST_DIR=$mnt timeout 900 "$tests" --gtest_filter="$cases" --gtest_brief=1; then
    ran="$ran $name"
  else
    failed="$failed $name"
  fi
  unmount
  rm -f "$img"
done 3<<EOF
ext4  64  kernel     mkfs.ext4 -q
xfs   320 kernel     mkfs.xfs -q
btrfs 160 kernel     mkfs.btrfs -q
tmpfs 96  tmpfs
vfat  96  fusefat    mkfs.vfat
exfat 96  exfat-fuse mkfs.exfat
EOF
echo "passed on:${ran#0}"
[ -z "$left" ] || printf 'left out:\n%s' "$left"
if [ "$failed" != 0 ]; then echo "failed on:${failed#0}"; exit 1; fi
[ "$ran" != 0 ] || exit 77
