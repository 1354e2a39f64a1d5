#!/usr/bin/env bash
# build.sh DIR [SANITIZE [TARGET...]]: configures and builds into DIR (plain, "address" or "thread"); everything,
# or only the targets named (and what they depend on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
sanitize=${2:-}
shift $(($# < 2 ? $# : 2))
# ccache, where installed, lets another checkout or a rebuild reuse what was compiled already; paths below the
# checkout are hashed relative to it, so two checkouts of the same tree share their objects.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$dir" -G Ninja -DVANTREL_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
