#!/usr/bin/env bash
# Checks the service unit offline, as systemd would read it on a server:
#   - `systemd-analyze verify` accepts it without a single complaint (an unknown or misspelt
#     key, a value that does not parse, a command that is not there);
#   - `systemd-analyze security` rates its exposure 2.0 or lower;
#   - the settings the gateway relies on are there, so that no sandboxing costs it anything.
#   tests/packaging/unit_test.sh UNIT_FILE
# Exits 0 when all hold, 1 otherwise, 77 (skipped) only where systemd-analyze is not installed.
set -euo pipefail

unit=${1:?usage: unit_test.sh UNIT_FILE}
max_exposure=2.0

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package systemd; scripts/test installs it)"
  exit 77
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# verify: a root of its own that holds the system's units (for the targets the unit names) and
# the unit where the package puts it. Every command the unit runs is there as an executable
# stand-in: verify only checks that it can be executed.
mkdir -p "$root/usr/lib/systemd" "$root/usr/sbin" "$root/usr/bin"
ln -s usr/lib "$root/lib"
ln -s usr/bin "$root/bin"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
cp "$unit" "$root/usr/lib/systemd/system/cardgate.service"
sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$unit" | sort -u | while read -r program; do
  printf '#!/bin/sh\nexit 0\n' > "$root$program"
  chmod 0755 "$root$program"
done
verify_status=0
verify_output=$(systemd-analyze verify --root="$root" cardgate.service 2>&1) || verify_status=$?
if [ "$verify_status" -ne 0 ] || [ -n "$verify_output" ]; then
  fail "systemd-analyze verify (exit $verify_status):"
  printf '%s\n' "$verify_output" | sed 's/^/    /'
else
  echo "ok: systemd-analyze verify is clean"
fi

security_output=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
exposure=$(printf '%s\n' "$security_output" |
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
  fail "systemd-analyze security gave no exposure level:"
  printf '%s\n' "$security_output" | sed 's/^/    /'
elif awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e > m) }'; then
  fail "exposure $exposure is above $max_exposure; what is still open:"
  printf '%s\n' "$security_output" | grep '✗' | sed 's/^/    /'
else
  echo "ok: exposure $exposure (at most $max_exposure)"
fi

# What the gateway needs from its unit. Each entry: a pattern (extended regular expression) that
# one line of the unit must match, " @@ ", and why.
required=(
  '^User=cardgate$ @@ a user of its own, never root'
  '^Group=cardgate$ @@ the group that owns its files'
  '^Type=notify$ @@ readiness is told by READY=1'
  '^NotifyAccess=main$ @@ the gateway itself sends the notifications'
  '^Environment=CARDGATE_CONFIG_DIR=/etc/cardgate/?$ @@ the INI files are in /etc/cardgate'
  '^ExecStartPre=/usr/sbin/cardgate --check$ @@ a configuration a start would refuse is caught first'
  '^ExecStart=/usr/sbin/cardgate$ @@ the daemon: no argument'
  '^ExecReload=/bin/kill -HUP [$]MAINPID$ @@ SIGHUP re-reads the INI files'
  '^ReadWritePaths=(.* )?/etc/cardgate/?( |$) @@ commands 81 and 82 replace INI files there'
  '^ReadWritePaths=(.* )?/var/lib/cardgate/?( |$) @@ the spool is there'
  '^RestrictAddressFamilies=(.* )?AF_INET( |$) @@ modules and the log server over IPv4'
  '^RestrictAddressFamilies=(.* )?AF_UNIX( |$) @@ the notification socket'
  '^Restart=on-failure$ @@ a crash or a watchdog stop starts it again'
)
for entry in "${required[@]}"; do
  pattern=${entry%% @@ *}
  why=${entry##* @@ }
  if grep -Eq -- "$pattern" "$unit"; then
    echo "ok: $why"
  else
    fail "no line matching '$pattern' ($why)"
  fi
done
# Settings that would cut the gateway off from what it serves: modules and log servers may be
# anywhere, and readers connect from anywhere DEVICE.ALLOW admits.
forbidden=(
  '^IPAddress(Deny|Allow)= @@ the gateway reaches modules and log servers at any address'
  '^PrivateNetwork=(yes|true|on|1)$ @@ readers, modules and the log server are on the network'
  '^User=(root|0)?$ @@ never root'
)
for entry in "${forbidden[@]}"; do
  pattern=${entry%% @@ *}
  why=${entry##* @@ }
  if grep -Eq -- "$pattern" "$unit"; then
    fail "a line matches '$pattern' ($why)"
  fi
done

# The gateway stops sending WATCHDOG=1 itself when a thread stands still past its limit (with
# the default settings: the upload's 33 s step plus 10 s); systemd's period must not be shorter.
watchdog_s=$(sed -n 's/^WatchdogSec=\([0-9]*\)s\{0,1\}$/\1/p' "$unit")
if [ -z "$watchdog_s" ] || [ "$watchdog_s" -le 43 ]; then
  fail "WatchdogSec='${watchdog_s}' must be a number of seconds above 43"
else
  echo "ok: WatchdogSec=$watchdog_s"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
