#!/usr/bin/env bash
# Runs a command inside the desktop session the system tests need, and tears it down:
#   an Xvfb display, a private D-Bus session bus with an unlocked gnome-keyring and the
#   accessibility bus (which starts only these and the accessibility bus's settings store,
#   never another service installed on the machine), and a PulseAudio server with a
#   virtual microphone fed through a fifo.
# Every service is started here, its pid kept, and killed by pid at the end.
# Usage: scripts/with-test-session.sh COMMAND [ARGS...]
set -euo pipefail

if [[ "${KORVU_IN_TEST_SESSION:-}" != "inner" ]]; then
  session=$(mktemp -d /tmp/korvu-session-XXXXXX)
  chmod 700 "$session"
  pids=()
  cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$session"
  }
  trap cleanup EXIT

  # Xvfb chooses a free display and tells us its number through a file descriptor.
  Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp 7>"$session/display" 2>"$session/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [[ -s "$session/display" ]] && break; sleep 0.05; done
  [[ -s "$session/display" ]] || { echo "with-test-session: Xvfb did not start" >&2; cat "$session/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$session/display")"

  # The session bus starts only the services this session provides: its own service
  # folder, none of the machine's (a notification daemon or portal installed on a desktop
  # machine would otherwise answer in place of what a test plays or expects to be absent).
  # It provides the accessibility bus and the settings store that keeps the bus's
  # "enabled" flag, activated on demand as on a desktop, from the machine's own service
  # files; the keyring is started below by pid.
  mkdir -p "$session/services"
  for service in org.a11y.Bus ca.desrt.dconf; do
    for folder in /usr/local/share/dbus-1/services /usr/share/dbus-1/services; do
      if [[ -f "$folder/$service.service" ]]; then
        cp "$folder/$service.service" "$session/services/"
        break
      fi
    done
  done
  [[ -f "$session/services/org.a11y.Bus.service" ]] || { echo "with-test-session: no org.a11y.Bus service (at-spi2-core)" >&2; exit 1; }
  cat >"$session/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$session</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$session/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="service_start_timeout">120000</limit>
  <limit name="auth_timeout">240000</limit>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_incomplete_connections">10000</limit>
  <limit name="max_connections_per_user">100000</limit>
  <limit name="max_pending_service_starts">10000</limit>
  <limit name="max_names_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="max_replies_per_connection">50000</limit>
</busconfig>
CONF

  # A home and runtime folder of the session's own, set before the bus starts: the services
  # it activates (the accessibility bus keeps its socket under them) take its environment,
  # so two sessions on the machine, or one after another on the same display, never share
  # or remove each other's sockets.
  export HOME="$session/home"
  export XDG_RUNTIME_DIR="$session/run"
  export XDG_CONFIG_HOME="$HOME/.config"
  export XDG_DATA_HOME="$HOME/.local/share"
  export XDG_CACHE_HOME="$HOME/.cache"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  export KORVU_TEST_SESSION_DIR="$session"
  export KORVU_IN_TEST_SESSION=inner
  set +e
  dbus-run-session --config-file="$session/bus.conf" -- "$0" "$@"
  status=$?
  set -e
  exit $status
fi

# Inside the private session bus.
session="$KORVU_TEST_SESSION_DIR"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # Services that the bus activated on its own end with the bus.
}
trap cleanup EXIT

# An unlocked keyring, so that Secret Service writes never prompt.
# It runs in the foreground under our pid list, so only this session's keyring is stopped.
echo -n korvu-test | gnome-keyring-daemon --foreground --unlock --components=secrets >"$session/keyring.env" 2>"$session/keyring.log" &
pids+=($!)
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true && break
  sleep 0.05
done
# The accessibility bus must exist before any Qt program starts, or Qt never registers.
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null

# PulseAudio with a virtual microphone: whatever is written to the fifo is what it hears.
cat >"$session/ci.pa" <<PA
load-module module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse.sock auth-anonymous=1
load-module module-null-sink sink_name=vsink rate=16000 channels=1
load-module module-virtual-source source_name=vmon master=vsink.monitor source_properties=device.description=VirtualFromSink
load-module module-pipe-source source_name=vmic file=$XDG_RUNTIME_DIR/vmic.fifo format=s16le rate=16000 channels=1 source_properties=device.description=VirtualMic
set-default-source vmic
PA
pulseaudio -n -F "$session/ci.pa" --daemonize=no --exit-idle-time=-1 --log-target="file:$session/pulse.log" &
pids+=($!)
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse.sock"
for _ in $(seq 100); do [[ -S "$XDG_RUNTIME_DIR/pulse.sock" ]] && break; sleep 0.05; done
[[ -S "$XDG_RUNTIME_DIR/pulse.sock" ]] || { echo "with-test-session: PulseAudio did not start" >&2; cat "$session/pulse.log" >&2; exit 1; }
export KORVU_TEST_VMIC_FIFO="$XDG_RUNTIME_DIR/vmic.fifo"

# Widgets render offscreen unless a test asks for the X display itself.
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export KORVU_TEST_SESSION=1
# Suites run side by side, on as few as two cores: spinning OpenMP workers would stall
# each other's model runs for seconds at a time.
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-passive}"

set +e
"$@"
status=$?
set -e
exit $status
