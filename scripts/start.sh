#!/usr/bin/env bash
# Installs, builds and starts the server with the embedded defaults: INI folder ini/ under the repository,
# an SQLite CRM database ini/crm.sqlite3 holding the sample CRM.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
ini="$root/ini"
mkdir -p "$ini"
# A first start gets the embedded database; a configuration saved since is left as it is.
if [[ ! -e "$ini/Settings.ini" ]]; then
  printf '[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n' \
    >"$ini/Settings.ini"
fi
"$root/build/vantrel-crm" --connection "Provider=SQLite;Data Source=crm.sqlite3" --base "$ini" --sample
exec "$root/build/vantrel-host" --address "${VANTREL_ADDRESS:-127.0.0.1}" --port "${VANTREL_PORT:-2809}" --ini "$ini"
