#!/usr/bin/env bash
# other-debian.sh [COMMAND...]: runs the test command (or COMMAND) in a root of the other Debian
# release, Debian 13 on a Debian 12 machine and the reverse, so the program is built by that release's
# own compilers and tested under its own Wine. The root is made with debootstrap when missing and kept
# in /var/cache/quorvel (QUORVEL_ROOTS) between runs; its build directories are kept there too.
# Inside, scripts/setup.sh installs the packages with the root's own apt, then the command runs in a
# network namespace of its own (loopback only), in mount and PID namespaces that take every mount and
# process with them when it ends. Needs root (or sudo).
set -euo pipefail
self=$(realpath "$0")
inside=/work/quorvel  # the checkout's place in the root: fixed, so the kept build trees stay valid

case "${1:-}" in
--mounts)  # in the new mount and PID namespaces, as their first process
  shift
  # The root a mount of its own, so that a test's own mount namespace can make it private.
  mount --bind "$QUORVEL_ROOT" "$QUORVEL_ROOT"
  mount --bind "$QUORVEL_SOURCE" "$QUORVEL_ROOT$inside"
  mount --bind "$QUORVEL_ROOT/var/cache/quorvel-build" "$QUORVEL_ROOT$inside/build"
  [ -z "$QUORVEL_GIT_DIR" ] || mount --bind -o ro "$QUORVEL_GIT_DIR" "$QUORVEL_ROOT$QUORVEL_GIT_DIR"
  mount -t proc proc "$QUORVEL_ROOT/proc"
  mount -t sysfs -o ro sysfs "$QUORVEL_ROOT/sys"
  mount --bind /dev "$QUORVEL_ROOT/dev"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$QUORVEL_ROOT/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$QUORVEL_ROOT/dev/pts"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$QUORVEL_ROOT/tmp"
  mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$QUORVEL_ROOT/run"
  mkdir -p "$QUORVEL_ROOT/run/lock"
  # Only what the tests are meant to see of the caller's environment passes into the root.
  exec chroot "$QUORVEL_ROOT" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" FUZZ_SECONDS="${FUZZ_SECONDS:-20}" \
    QUORVEL_REPRODUCIBILITY_ELSEWHERE="${QUORVEL_REPRODUCIBILITY_ELSEWHERE:-}" \
    bash "$inside/scripts/other-debian.sh" --root "$@"
  ;;
--root)  # inside the root: its own apt installs the packages, then the command runs offline
  shift
  cd "$inside"
  bash scripts/setup.sh
  exec unshare --net -- bash "$self" --net "$@"
  ;;
--net)
  shift
  ip link set lo up
  exec "$@"
  ;;
esac

cd "$(dirname "$self")/.."
if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=CI,FUZZ_SECONDS,QUORVEL_ROOTS,QUORVEL_REPRODUCIBILITY_ELSEWHERE \
    bash "$self" "$@"
fi
[ $# -gt 0 ] || set -- bash scripts/test.sh
. /etc/os-release
case "${VERSION_ID:-}" in
12) other=13 suite=trixie ;;
13) other=12 suite=bookworm ;;
*)
  echo "other-debian.sh: runs on Debian 12 or 13, not on ${PRETTY_NAME:-this system}" >&2
  exit 2
  ;;
esac
cache=${QUORVEL_ROOTS:-/var/cache/quorvel}
export QUORVEL_ROOT=$cache/debian-$other QUORVEL_SOURCE=$PWD

if [ ! -e "$QUORVEL_ROOT/.quorvel-root" ]; then
  command -v debootstrap >/dev/null || bash scripts/setup.sh
  # Made aside and moved in whole: an interrupted debootstrap never leaves a root that looks done.
  rm -rf --one-file-system "$QUORVEL_ROOT.new" "$QUORVEL_ROOT"
  mkdir -p "$cache"
  echo "=== making the Debian $other ($suite) root in $QUORVEL_ROOT"
  debootstrap --variant=minbase "$suite" "$QUORVEL_ROOT.new" http://deb.debian.org/debian >/dev/null
  touch "$QUORVEL_ROOT.new/.quorvel-root"
  mv "$QUORVEL_ROOT.new" "$QUORVEL_ROOT"
fi
mkdir -p build "$QUORVEL_ROOT$inside" "$QUORVEL_ROOT/var/cache/quorvel-build"
cp /etc/resolv.conf "$QUORVEL_ROOT/etc/resolv.conf"  # the root's apt resolves as the host does
# A worktree's .git names the repository's own directory, which the release test's git needs too.
QUORVEL_GIT_DIR=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
[ "$QUORVEL_GIT_DIR" != "$PWD/.git" ] || QUORVEL_GIT_DIR=
[ -z "$QUORVEL_GIT_DIR" ] || mkdir -p "$QUORVEL_ROOT$QUORVEL_GIT_DIR"
export QUORVEL_GIT_DIR

echo "=== Debian $other ($(. "$QUORVEL_ROOT/etc/os-release" && echo "$PRETTY_NAME")): $*"
exec unshare --mount --pid --fork --propagation private -- bash "$self" --mounts "$@"
