#!/usr/bin/env bash
# Runs a command in a copy of the project inside a chroot of Debian's unstable
# suite, which carries CPython releases newer than the machine's own (with
# their headers, venv support and debug builds). The chroot is made once under
# build/newer-pythons/ and reused; the copy of the project is made afresh.
#
#   checks/newer_pythons.sh '<command run in the copy>'
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
here=$project/build/newer-pythons
root=$here/chroot
PYTHONS_NEWER=${PYTHONS_NEWER:-"3.14 3.15"}
packages="g++ clang libc++-dev libc++abi-dev make git ca-certificates"
for v in $PYTHONS_NEWER; do packages="$packages python$v-dev python$v-venv python$v-dbg"; done

# The mirror is the machine's own: the first Debian archive in its apt sources
# (deb822 files first, then the one-line format).
mirror() {
    local uri
    uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) {print $i; exit}}' \
                               /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true)
    [ -n "$uri" ] || { echo "no Debian mirror found in the apt sources" >&2; exit 1; }
    echo "$uri"
}

[ "$(id -u)" = 0 ] || { echo "the chroot of newer interpreters needs root (debootstrap, chroot, mount)" >&2; exit 1; }

# One run at a time: each works in the same copy of the project.
mkdir -p "$here"
exec 9>"$here/.lock"
flock 9

if [ ! -f "$here/.made" ] || [ "$(cat "$here/.made")" != "$packages" ]; then
    command -v debootstrap >/dev/null || { echo "needs debootstrap (apt-get install debootstrap)" >&2; exit 1; }
    rm -rf "$root" && mkdir -p "$root"
    echo "making a chroot of Debian unstable with: $packages"
    debootstrap --variant=minbase --include="${packages// /,}" unstable "$root" "$(mirror)" >"$here/debootstrap.log" 2>&1 ||
        { tail -20 "$here/debootstrap.log"; exit 1; }
    echo "$packages" >"$here/.made"
fi

# What pip needs to reach the package index from inside: name resolution, the
# CA bundle it is set to use, and its configuration files (with the files
# they name, a constraints file say).
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
pip_env=()
pip_config=$(python3 -m pip config list 2>/dev/null || true)
cert=$(sed -n "s/^[a-z:]*\.cert='\(.*\)'$/\1/p" <<<"$pip_config" | head -1)
for file in $(python3 -m pip config debug 2>/dev/null | sed -n 's/^ *\(\/.*\.conf\), exists: True$/\1/p') \
            $(sed -n "s/^[a-z:]*\.constraint='\(.*\)'$/\1/p" <<<"$pip_config") $cert; do
    [ -f "$file" ] && mkdir -p "$root$(dirname "$file")" && cp -L "$file" "$root$file"
done
[ -n "$cert" ] && pip_env+=("PIP_CERT=$cert")

# The project's tracked and new files, copied afresh; the copy's own builds
# and venvs are kept for the next run.
mkdir -p "$root/project"
find "$root/project" -mindepth 1 -maxdepth 1 ! -name .venv ! -name build -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard | tar -c --null -T - | tar -x -C "$root/project"

# A fresh /proc and a /dev/shm of its own, nothing of the machine's bound in,
# so that removing build/ can never reach the machine's own files.
mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$root/proc" "$root/dev/shm" "$root/tmp" && chmod 1777 "$root/tmp"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounted+=("$root/dev/shm")

chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    "${pip_env[@]}" CI="${CI:-}" PYTHON="/usr/bin/python${PYTHONS_NEWER##* }" bash -c "cd /project && $1"
