#!/usr/bin/env bash
# The program tests on a machine that offers a notification service: a service file for
# org.freedesktop.Notifications lies in a folder the desktop's session bus reads
# (XDG_DATA_DIRS), as a notification daemon's package puts it there. A test session of
# its own must neither list nor start it, and the tests that play or expect the absence of
# a notification server pass as on a bare machine.
# Usage: planted-notifications.sh WITH-TEST-SESSION PROGRAM-TEST-BINARY
set -euo pipefail
session_script=$1
tests=$2
planted=$(mktemp -d /tmp/korvu-planted-XXXXXX)
trap 'rm -rf "$planted"' EXIT
mkdir -p "$planted/share/dbus-1/services"
cat >"$planted/daemon" <<DAEMON
#!/bin/sh
touch "$planted/started"
exit 1
DAEMON
chmod +x "$planted/daemon"
printf '[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=%s\n' "$planted/daemon" \
  >"$planted/share/dbus-1/services/org.freedesktop.Notifications.service"

# A session of its own, not the one CTest may run in.
env -u KORVU_IN_TEST_SESSION -u KORVU_TEST_SESSION_DIR -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY \
  XDG_DATA_DIRS="$planted/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" \
  bash "$session_script" "$tests" \
  --gtest_filter='ProgramTest.TheSessionBusStartsOnlyTheSessionsOwnServices:ProgramTest.WithoutATray*'
if [[ -e "$planted/started" ]]; then
  echo "planted-notifications: the session bus started the machine's notification service" >&2
  exit 1
fi
