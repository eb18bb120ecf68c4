# Sourced by scripts/leg and bench/macro_bench_root.sh: work in a Debian root made by
# scripts/leg (or one like it) from a script run as root. Checkouts are bound read-only
# into the root, commands run there in a clean environment, and the zaradu modules of a
# bound checkout are built there. Messages start with the calling script's name.

need_root() {  # need_root WHAT-FOR: ends the script with status 2 unless it runs as root
  if [ "$(id -u)" -ne 0 ]; then
    echo "${0##*/}: needs root ($1)" >&2
    exit 2
  fi
}

# private_mounts "$@" (first thing after need_root): runs the calling script again in a
# mount namespace of its own, so that the mounts it makes are private to this run and
# vanish with it, whatever ends it; the traps undo them in order as well.
private_mounts() {
  if [ "${VELK_MOUNT_NAMESPACE:-}" != "$$" ]; then
    exec unshare --mount --propagation private env VELK_MOUNT_NAMESPACE=$$ "$0" "$@"
  fi
  trap unmount_all EXIT
  trap 'exit 130' INT TERM
}

mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
  done
  mounts=()
}

bind_ro() {  # bind_ro SOURCE TARGET
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounts+=("$2")
  mount -o remount,bind,ro "$2"
}

mount_proc() {  # mount_proc ROOT
  mount -t proc proc "$1/proc"
  mounts+=("$1/proc")
}

has_mount_under() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}

remove_dir() {  # never removes a directory with a mount under it
  [ -e "$1" ] || return 0
  if has_mount_under "$1"; then
    echo "${0##*/}: not removing $1: something is mounted under it" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}

in_root() {  # in_root ROOT COMMAND...: runs a shell command in the root, clean environment
  local r=$1
  shift
  chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1 /bin/bash -ec "$*"
}

# build_modules ROOT CHECKOUT SOURCE BUILD PYTHON JOBS [TARGET...]: builds the TARGETs
# (by default all) of the checkout CHECKOUT, bound at SOURCE in the root, in the root's
# directory BUILD, the modules alone against the root's PYTHON. A build directory serves
# one checkout: ninja goes by file times, which say nothing about another checkout bound
# at the same place, so a different checkout starts afresh.
build_modules() {
  local r=$1 checkout=$2 src=$3 build=$4 python=$5 jobs=$6
  shift 6
  local stamp=$r$build/velk-checkout
  if [ "$(cat "$stamp" 2>/dev/null)" != "$checkout" ]; then
    remove_dir "$r$build"
    mkdir -p "$r$build"
    echo "$checkout" >"$stamp"
  fi
  # VELK_BENCH=OFF for checkouts whose build knows no VELK_VM option.
  in_root "$r" "cmake -S $src -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELK_VM=OFF -DVELK_BENCH=OFF \
    -DPython3_EXECUTABLE=$python >/dev/null && ninja -C $build -j$jobs --quiet $*"
}
