#!/usr/bin/env bash
# build.sh DIR [SANITIZE]: configures and builds into DIR (plain, "address" or "thread").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
sanitize=${2:-}
cmake -S "$root" -B "$dir" -G Ninja -DVANTREL_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)"
