#!/usr/bin/env bash
# install-deps.sh [--test]: installs what building (and with --test, testing) Vantrel needs on Debian 12;
# does nothing when it is all there.
set -euo pipefail
# espeak-ng speaks the quick start's prompts.
packages=(g++ cmake ninja-build pkg-config libomniorb4-dev omniidl libssl-dev openssl libgtest-dev googletest libsqlite3-dev unixodbc-dev
          libboost-dev nlohmann-json3-dev libre-dev zlib1g-dev ccache espeak-ng)
# The database tests also run against a PostgreSQL server through its ODBC driver; the web pages are tested in
# Chromium through its WebDriver; SIPp plays trunks and phones, baresip a softphone.
[ "${1:-}" = "--test" ] && packages+=(postgresql odbc-postgresql chromium chromium-driver fonts-dejavu-core sip-tester
                                      baresip-core)
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
