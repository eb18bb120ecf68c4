#!/bin/bash
# bench/macro_bench.py on the CPython 3.14 of a Debian testing root, beside the host's 3.11.
#
#   sudo bench/macro_bench_root.sh ROOT [OTHER_CHECKOUT] [-- macro_bench.py arguments]
#
# ROOT is a Debian testing root with python3.14, NumPy, g++, cmake and ninja (the one that
# scripts/test makes, or any like it); a checkout whose build has no VELK_VM option also
# builds velk_vm there and needs the project's -dev packages in the root. This checkout,
# and OTHER_CHECKOUT when given (for example a `git worktree add` of an earlier commit),
# are bound read-only into
# ROOT/work/macro-bench/ (ROOT/work/$MACRO_BENCH_DIR/ when that is set), and their modules
# are built there against python3.14, in build directories of the root's own that later
# runs of the same checkout reuse (one left by another checkout is made afresh). Then
# bench/macro_bench.py runs in the root: with OTHER_CHECKOUT, as a `--compare` of this
# build with the other one (each timing in a fresh process pinned to one CPU), without it
# on its own. The root's /proc is mounted for the run. The mounts are private to the run
# (a mount namespace of its own) and every one is undone on every exit.
#
# The 3.14 figures beside the 3.11 ones, both on CPU 5, medians of 7 rounds:
#   sudo bench/macro_bench_root.sh ROOT OTHER -- --compare-other --runs 7 --cpu 5
#   PYTHONPATH=build/python /usr/bin/python3 bench/macro_bench.py \
#       --compare OTHER/build/python --runs 7 --cpu 5
# (`--compare-other` stands for `--compare` with the other checkout's build in the root.)
set -euo pipefail

here=$(realpath "$(dirname "$0")/..")
. "$here/scripts/usage.sh"
answer_help "$@"
[[ $# -ge 1 && $1 != -* ]] || usage_error "the first argument is the Debian testing root"
[[ -d $1 ]] || usage_error "no directory $1"
. "$here/scripts/root.sh"
need_root "chroot and mounts"
private_mounts "$@"

root=$(realpath "$1"); shift
other=""
if [[ $# -ge 1 && $1 != -- ]]; then other=$(realpath "$1"); shift; fi
[[ $# -ge 1 && $1 == -- ]] && shift
[[ -x $root/usr/bin/python3.14 ]] || { echo "no python3.14 in $root" >&2; exit 1; }

work=/work/${MACRO_BENCH_DIR:-macro-bench}
build() {  # build CHECKOUT SOURCE BUILD: binds CHECKOUT at SOURCE in the root, builds its modules
    bind_ro "$1" "$root$2"
    build_modules "$root" "$1" "$2" "$3" /usr/bin/python3.14 4 macro compiler zaradu_standins >/dev/null
}

mount_proc "$root"   # cmake reads /proc/cpuinfo and /proc/meminfo
build "$here" $work/src $work/build
args=("$@")
if [[ -n $other ]]; then
    build "$other" $work/other $work/build-other
    for i in "${!args[@]}"; do
        [[ ${args[i]} == --compare-other ]] && args[i]="--compare=$work/build-other/python"
    done
fi
quoted=""
[[ ${#args[@]} -eq 0 ]] || quoted=$(printf ' %q' "${args[@]}")
in_root "$root" "cd $work && PYTHONPATH=$work/build/python python3.14 src/bench/macro_bench.py$quoted"
