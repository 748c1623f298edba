# Sourced by scripts/test: a private sound server with a null sink, so that the
# sound tests run through the real libpulse paths on a machine without a sound
# card (CI runs as root, headless). Either of the servers users run:
#
#   start_sound_server [pulseaudio|pipewire]
#
# (default: $VELLAMO_SOUND_SERVER, else pulseaudio). PipeWire runs with its
# PulseAudio service and WirePlumber on a session D-Bus of its own. Every server
# gets its own runtime and home folders, so several can run on one machine.
#
# start_sound_server exports XDG_RUNTIME_DIR and HOME (and for PipeWire the
# session bus's address): every client (the tests, pactl, parec) finds the
# server's socket through them. It never fails the caller: without a server the
# sound tests skip themselves. stop_sound_server ends everything it started.

sound_server_dir=""
sound_server_pids=()
sound_watch_pid=""

start_sound_server() {
  local kind="${1:-${VELLAMO_SOUND_SERVER:-pulseaudio}}"
  local needed
  case $kind in
    pulseaudio) needed=(pulseaudio pactl parec pacat) ;;
    pipewire) needed=(pipewire pipewire-pulse wireplumber dbus-daemon pactl parec pacat) ;;
    *)
      echo "soundserver: unknown sound server '$kind' (pulseaudio, pipewire)" >&2
      return 0
      ;;
  esac
  local program
  for program in "${needed[@]}"; do
    if ! command -v "$program" >/dev/null 2>&1; then
      echo "soundserver: $program not installed; sound tests will skip" >&2
      return 0
    fi
  done
  # Registered here as well, so that nothing is left running if the caller
  # fails between this function and its own trap.
  trap stop_sound_server EXIT

  sound_server_dir=$(mktemp -d "${TMPDIR:-/tmp}/vellamo-sound.XXXXXX")
  mkdir -p "$sound_server_dir/runtime" "$sound_server_dir/home"
  # The servers refuse a runtime folder that others can enter.
  chmod 0700 "$sound_server_dir" "$sound_server_dir/runtime" "$sound_server_dir/home"
  export XDG_RUNTIME_DIR="$sound_server_dir/runtime"
  export HOME="$sound_server_dir/home"
  # Nothing of the user's own configuration or state.
  export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" XDG_DATA_HOME="$HOME/.local/share"
  unset PULSE_SERVER

  if [ "$kind" = pulseaudio ]; then
    pulseaudio -n --daemonize=no --exit-idle-time=-1 \
      --load="module-native-protocol-unix auth-anonymous=1" \
      --load="module-null-sink sink_name=nullsink rate=44100" \
      >"$sound_server_dir/server.log" 2>&1 &
    sound_server_pids+=($!)
  else
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$sound_server_dir/bus" \
      >"$sound_server_dir/dbus.log" 2>&1 &
    sound_server_pids+=($!)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$sound_server_dir/bus"
    # The graph runs at the null sink's rate, as PulseAudio's does: at its own
    # default of 48 kHz it would resample every stream and the monitor, and the
    # tests could not compare samples.
    # Its cycle never gets shorter than PipeWire's default of 1024 samples: the
    # tests' monitor recorders ask for 10 ms, which would run the graph at 256
    # samples, and a machine as busy as CI then misses cycles: the monitor hears
    # gaps of 256 or 512 samples that no stream is told of (pacat beside two
    # busy loops: 10 gaps in 60 s at 256, none in 150 s at 1024). The program
    # itself asks for a 2 s buffer and never shortens the cycle.
    mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
    echo 'context.properties = { default.clock.rate = 44100 default.clock.min-quantum = 1024 }' \
      >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/vellamo-graph.conf"
    pipewire >"$sound_server_dir/server.log" 2>&1 &
    sound_server_pids+=($!)
    wireplumber >"$sound_server_dir/wireplumber.log" 2>&1 &
    sound_server_pids+=($!)
    pipewire-pulse >"$sound_server_dir/pulse.log" 2>&1 &
    sound_server_pids+=($!)
  fi

  # The servers must not outlive this shell, even if it is killed without
  # running its traps.
  local shell_pid=$$
  (
    trap - EXIT
    while kill -0 "$shell_pid" 2>/dev/null && kill -0 "${sound_server_pids[0]}" 2>/dev/null; do sleep 2; done
    kill "${sound_server_pids[@]}" 2>/dev/null
  ) >/dev/null 2>&1 &
  sound_watch_pid=$!

  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if [ "$kind" = pipewire ] && pactl info >/dev/null 2>&1; then
    # PipeWire has no sink of its own here: the null sink comes through its
    # PulseAudio service, as PulseAudio loads it.
    pactl load-module module-null-sink sink_name=nullsink rate=44100 >/dev/null 2>&1 || true
    # WirePlumber takes the default from PipeWire's metadata once it is up;
    # until then the setting may be lost, so it is made until it holds.
    for i in $(seq 1 100); do
      pactl set-default-sink nullsink >/dev/null 2>&1 || true
      [ "$(pactl get-default-sink 2>/dev/null)" = nullsink ] && break
      sleep 0.05
    done
  fi
  if [ "$(pactl get-default-sink 2>/dev/null)" != nullsink ]; then
    echo "soundserver: $kind did not start; sound tests will skip" >&2
    cat "$sound_server_dir"/*.log >&2 || true
    stop_sound_server
    return 0
  fi

  # A fresh null sink holds back sound for about 2 s after it starts; a short
  # silence played to its end waits that out, so that the first test plays on
  # time. A running monitor then keeps the sink from falling asleep again.
  parec -d @DEFAULT_MONITOR@ --latency-msec=20 >/dev/null 2>&1 &
  sound_server_pids+=($!)
  head -c 4410 /dev/zero |
    timeout 10 pacat --raw --format=s16le --channels=1 --rate=44100 --latency-msec=20 >/dev/null 2>&1 || true
  echo "soundserver: $(pactl info 2>/dev/null | sed -n 's/^Server Name: //p') with a null sink in $XDG_RUNTIME_DIR" >&2
  return 0
}

stop_sound_server() {
  local pid i
  # Callers run with "set -e": no command here may end the shell early. Last
  # started, first ended: the monitor, then the PulseAudio service before
  # PipeWire itself, the bus last.
  for ((i = ${#sound_server_pids[@]} - 1; i >= 0; i--)); do
    kill "${sound_server_pids[$i]}" 2>/dev/null || true
    wait "${sound_server_pids[$i]}" 2>/dev/null || true
  done
  if [ -n "$sound_watch_pid" ]; then
    kill "$sound_watch_pid" 2>/dev/null || true
    wait "$sound_watch_pid" 2>/dev/null || true
  fi
  sound_server_pids=()
  sound_watch_pid=""
  if [ -n "$sound_server_dir" ]; then
    rm -rf "$sound_server_dir"
    sound_server_dir=""
  fi
  return 0
}
