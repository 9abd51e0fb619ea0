#!/bin/sh
# An arm64 Debian 12 root with Debian's arm64 Wine, in which ARM64 Windows
# programs run on this x86-64 machine through qemu-user-static and
# binfmt_misc, and its arm64 Python.
#
#   arm64-root.sh setup ROOT           once; the last line names the cause
#                                      when this machine cannot do it
#   arm64-root.sh mount ROOT FOLDER... bind-mounts each folder at its own
#                                      path inside, with /proc and /dev
#   arm64-root.sh unmount ROOT         undoes every mount under ROOT
set -eu
command=$1
root=$(realpath -m "$2")
shift 2

cannot() {
    echo "cannot set up ARM64 emulation: $*" >&2
    exit 3
}

# The mirror that apt already uses for bookworm, read at run time.
mirror() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && awk '
            FNR == 1 || /^[[:space:]]*$/ { uris = ""; ok = 0 }
            /^URIs:/ { uris = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") ok = 1 }
            ok && uris { print uris; exit }' "$f"
    done
    [ -f /etc/apt/sources.list ] && awk '$1 == "deb" {
        for (i = 2; i < NF; i++) if ($i ~ /^https?:/ && $(i + 1) == "bookworm") {
            print $i; exit } }' /etc/apt/sources.list
}

setup() {
    [ -f "$root/.ready" ] && { echo "arm64 root ready: $root"; return; }
    if [ ! -f /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null \
            || cannot "binfmt_misc cannot be mounted on this machine"
    fi
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    [ "$(cat /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null | head -1)" = enabled ] \
        || cannot "qemu-aarch64 is not registered with binfmt_misc"
    url=$(mirror | head -1)
    [ -n "$url" ] || cannot "no bookworm mirror in apt's sources"
    unmount
    rm -rf "$root"
    echo "making an arm64 Debian 12 root from $url (about 150 MB, a few minutes)"
    debootstrap --arch=arm64 --foreign --variant=minbase bookworm "$root" "$url" \
        >"$root.log" 2>&1 || cannot "debootstrap failed (see $root.log)"
    chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.log" 2>&1 \
        || cannot "debootstrap's second stage failed under qemu (see $root.log)"
    trap unmount EXIT
    mount_system
    { chroot "$root" apt-get update && DEBIAN_FRONTEND=noninteractive chroot "$root" \
        apt-get install -y --no-install-recommends wine64 python3 ; } >>"$root.log" 2>&1 \
        || cannot "Debian's arm64 wine64 and python3 did not install (see $root.log)"
    touch "$root/.ready"
    echo "arm64 root ready: $root"
}

mount_system() {
    for system in proc dev dev/pts; do
        mkdir -p "$root/$system"
        mountpoint -q "$root/$system" || mount --bind "/$system" "$root/$system"
    done
}

mount_folders() {
    mount_system
    for folder in "$@"; do
        folder=$(realpath "$folder")
        # One inside another given folder is already visible through it.
        for other in "$@"; do
            other=$(realpath "$other")
            case $folder in "$other"/*) continue 2 ;; esac
        done
        mkdir -p "$root$folder"
        mountpoint -q "$root$folder" || mount --bind "$folder" "$root$folder"
    done
}

# In the reverse of the order they were made, which /proc/mounts lists, so
# that no mount is hidden under another when its turn comes. A removal of
# the build folder must never reach through one of them.
unmount() {
    awk -v root="$root/" 'index($2 "/", root) == 1 { print $2 }' /proc/mounts | tac \
        | while read -r point; do umount -l "$(printf %b "$point")"; done
    if grep -q " $root/" /proc/mounts; then
        echo "still mounted under $root: unmount it before removing it" >&2
        exit 1
    fi
}

case $command in
    setup) setup ;;
    mount) mount_folders "$@" ;;
    unmount) unmount ;;
    *) echo "usage: $0 setup|mount|unmount ROOT [FOLDER...]" >&2; exit 2 ;;
esac
