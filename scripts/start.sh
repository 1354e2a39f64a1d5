#!/usr/bin/env bash
# Installs, builds and starts the server with the embedded defaults: INI folder ini/ under the repository,
# the software exchange with four lines and SIP on 127.0.0.1:5060, an SQLite CRM database ini/crm.sqlite3 holding the sample CRM, and a
# routing rule on the trunk line 101 (the sales group, where callers wait up to two minutes for an operator, else
# the system number 102).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# --sample-history: yesterday's made-up calls in the queue log, for the reports (/reports); nothing otherwise.
history=()
for argument in "$@"; do
  case $argument in
    --sample-history) history=(--sample-history) ;;
    *) echo "usage: $0 [--sample-history]" >&2; exit 2 ;;
  esac
done
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
ini="$root/ini"
mkdir -p "$ini"
# A first start gets the embedded database; a configuration saved since is left as it is.
if [[ ! -e "$ini/Settings.ini" ]]; then
  printf '[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n[Server]\nType=Distributed\n[Security]\nClientSQL=ReadOnly\n' \
    >"$ini/Settings.ini"
  # The names the panel, the wallboard and the console give the pause reasons the server stores as numbers.
  printf '[Operators]\nPauseReasons=1=Lunch,2=Training,3=Coaching\n' >>"$ini/Settings.ini"
fi
# The exchange listens for SIP phones on loopback; each station gets a password made here once, kept (with the
# exchange's settings) for the owner only.
if [[ ! -e "$ini/Exchange.ini" ]]; then
  umask 077
  {
    printf '[Exchange]\nTrunks=8\n[Stations]\n101=Trunk 101\n102=Reception 102\n103=Sales 103\n104=Support 104\n'
    printf '[SIP]\nAddress=127.0.0.1\nPort=5060\nRtpPorts=20000-20999\n[Passwords]\n'
    for station in 101 102 103 104; do
      password=$(openssl rand -hex 8)
      echo "$station=$password"
      echo "$station $password" >>"$ini/sip-passwords.txt"
    done
  } >"$ini/Exchange.ini"
  umask 022
fi
if [[ ! -e "$ini/Rules.ini" && ! -e "$ini/Lines.ini" ]]; then
  cat >"$ini/Rules.ini" <<'RULES'
[Rules]
Name=Rules
Enabled=1
CallsDistributionType=0
SystemPhoneNumber=102
[Rules_Items]
Count=1
ItemID=1
[Rules_0]
ID=1
Order=0
Name=Inbound
Enabled=1
MaxWait=120
MaxWaiting=20
WrapUp=5
ServiceLevelSeconds=20
[Rules_0_Items]
Count=1
ItemID=1
[Rules_0_0]
ID=1
Order=0
Name=Sales group
Enabled=1
ActionType=3
PhoneNumber=
GroupID=100
RULES
  cat >"$ini/Lines.ini" <<'LINES'
[Lines_Items]
Count=1
ItemID=0
[Lines_0]
ID=0
Order=0
Name=Trunk 101
Enabled=1
RuleID=1
IsOuter=1
UsingDND=0
LINES
fi
# The prompts callers hear, spoken by espeak-ng on the first start; a site records its own over them later.
# Without them callers hear only the music (a missing prompt is skipped), so a failure here does not stop the start;
# build/vantrel-prompts --ini ini makes what is missing later.
if [[ ! -e "$ini/Prompts" ]]; then
  "$root/build/vantrel-prompts" --ini "$ini" || echo "Prompts not made; callers hear the music only" >&2
fi
"$root/build/vantrel-crm" --connection "Provider=SQLite;Data Source=crm.sqlite3" --base "$ini" --sample "${history[@]}"
# The web gateway's first users: a supervisor, and the sales operator Anna Berg (employee 1) at line 103; their
# passwords are made here once and kept for the owner only.
if [[ ! -e "$ini/WebUsers.ini" ]]; then
  umask 077
  for user in "supervisor supervisor" "anna operator 103 1"; do
    read -r name role line id <<<"$user"
    password=$(openssl rand -hex 8)
    echo "$password" | "$root/build/vantrel-web" --ini "$ini" --add-user "$name" --role "$role" \
      ${line:+--line "$line" --operator-id "$id"} >/dev/null
    echo "$name $password" >>"$ini/web-passwords.txt"
  done
  umask 022
fi
port=${VANTREL_PORT:-2809}
"$root/build/vantrel-host" --address "${VANTREL_ADDRESS:-127.0.0.1}" --port "$port" --ini "$ini" &
host=$!
"$root/build/vantrel-web" --port "$port" --web-port "${VANTREL_WEB_PORT:-8080}" --ini "$ini" &
web=$!
trap 'kill $host $web 2>/dev/null; wait' EXIT INT TERM
echo "Web: wallboard http://127.0.0.1:${VANTREL_WEB_PORT:-8080}/, operator panel /panel, reports /reports; users and passwords" \
  "(from $ini/web-passwords.txt):"
if [[ -e "$ini/web-passwords.txt" ]]; then sed 's/^/  /' "$ini/web-passwords.txt"; else echo "  (as set with vantrel-web --add-user)"; fi
echo "SIP: phones register at sip:STATION@127.0.0.1:5060 (UDP or TCP); stations and passwords (from $ini/sip-passwords.txt):"
if [[ -e "$ini/sip-passwords.txt" ]]; then sed 's/^/  /' "$ini/sip-passwords.txt"; else echo "  (as in $ini/Exchange.ini)"; fi
# Either one ending ends the quick start.
wait -n $host $web
