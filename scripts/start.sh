#!/usr/bin/env bash
# Installs, builds and starts the server with the embedded defaults: INI folder ini/ under the repository.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
mkdir -p "$root/ini"
exec "$root/build/vantrel-host" --address "${VANTREL_ADDRESS:-127.0.0.1}" --port "${VANTREL_PORT:-2809}" --ini "$root/ini"
