#!/bin/bash
# bench/macro_bench.py on the CPython 3.14 of a Debian testing root, beside the host's 3.11.
#
#   sudo bench/macro_bench_root.sh ROOT [OTHER_CHECKOUT] [-- macro_bench.py arguments]
#
# ROOT is a Debian testing root with python3.14, NumPy, g++, cmake and ninja (the one that
# scripts/test makes, or any like it); a checkout whose build has no VELK_VM option also
# builds velk_vm there and needs the project's -dev packages in the root. This checkout, and OTHER_CHECKOUT when given (for
# example a `git worktree add` of an earlier commit), are bound read-only into
# ROOT/work/macro-bench/ (ROOT/work/$MACRO_BENCH_DIR/ when that is set), and their modules
# are built there against python3.14, in build directories of the root's own that later
# runs reuse. Then bench/macro_bench.py runs in the root: with OTHER_CHECKOUT, as a
# `--compare` of this build with the other one (each timing in a fresh process pinned to
# one CPU), without it on its own. Every mount is undone on every exit; nothing is deleted.
#
# The 3.14 figures beside the 3.11 ones, both on CPU 5, medians of 7 rounds:
#   sudo bench/macro_bench_root.sh ROOT OTHER -- --compare-other --runs 7 --cpu 5
#   PYTHONPATH=build/python /usr/bin/python3 bench/macro_bench.py \
#       --compare OTHER/build/python --runs 7 --cpu 5
# (`--compare-other` stands for `--compare` with the other checkout's build in the root.)
set -euo pipefail

usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
[[ $# -ge 1 && $1 != -h && $1 != --help ]] || usage
root=$(realpath "$1"); shift
other=""
if [[ $# -ge 1 && $1 != -- ]]; then other=$(realpath "$1"); shift; fi
[[ $# -ge 1 && $1 == -- ]] && shift
[[ -x $root/usr/bin/python3.14 ]] || { echo "no python3.14 in $root" >&2; exit 1; }
here=$(realpath "$(dirname "$0")/..")

work=/work/${MACRO_BENCH_DIR:-macro-bench}
mounted=()
undo() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}"; done; }
trap undo EXIT
bind_ro() {  # bind_ro SOURCE TARGET-IN-ROOT
    mkdir -p "$root$2"
    mount --bind "$1" "$root$2"
    mounted+=("$root$2")
    mount -o remount,bind,ro "$root$2"
}

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 bash -c "$1"; }

build() {  # build SOURCE-IN-ROOT BUILD-IN-ROOT
    in_root "cmake -S $1 -B $2 -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3.14 \
        -DVELK_VM=OFF -DVELK_BENCH=OFF >/dev/null && ninja -C $2 -j4 macro compiler zaradu_standins >/dev/null"
}

bind_ro "$here" $work/src
build $work/src $work/build
args=("$@")
if [[ -n $other ]]; then
    bind_ro "$other" $work/other
    build $work/other $work/build-other
    for i in "${!args[@]}"; do
        [[ ${args[i]} == --compare-other ]] && args[i]="--compare=$work/build-other/python"
    done
fi
quoted=""
[[ ${#args[@]} -eq 0 ]] || quoted=$(printf ' %q' "${args[@]}")
in_root "cd $work && PYTHONPATH=$work/build/python python3.14 src/bench/macro_bench.py$quoted"
