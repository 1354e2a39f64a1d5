#!/usr/bin/env bash
# build.sh DIR [SANITIZE [TARGET...]]: configures and builds into DIR (plain, "address" or "thread"); everything,
# or only the targets named (and what they depend on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
sanitize=${2:-}
shift $(($# < 2 ? $# : 2))
cmake -S "$root" -B "$dir" -G Ninja -DVANTREL_SANITIZE="$sanitize" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
