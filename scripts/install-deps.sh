#!/usr/bin/env bash
# Installs what building and testing Vantrel needs on Debian 12; does nothing when it is all there.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libomniorb4-dev omniidl libgtest-dev googletest libsqlite3-dev unixodbc-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
