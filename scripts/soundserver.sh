# Sourced by scripts/test: a private PulseAudio daemon with a null sink, so that
# the sound tests run through the real PulseAudio and ALSA paths on a machine
# without a sound card (CI runs as root, headless).
#
# start_sound_server exports XDG_RUNTIME_DIR and HOME: every client (the tests,
# pactl, parec) finds the daemon's socket through them. It never fails the
# caller: without a daemon the sound tests skip themselves.

sound_server_dir=""
sound_server_pid=""
sound_monitor_pid=""
sound_watch_pid=""

start_sound_server() {
  if ! command -v pulseaudio >/dev/null 2>&1 || ! command -v pactl >/dev/null 2>&1; then
    echo "soundserver: pulseaudio not installed; sound tests will skip" >&2
    return 0
  fi
  # Registered here as well, so that nothing is left running if the caller
  # fails between this function and its own trap.
  trap stop_sound_server EXIT

  sound_server_dir=$(mktemp -d "${TMPDIR:-/tmp}/vellamo-sound.XXXXXX")
  mkdir -p "$sound_server_dir/runtime" "$sound_server_dir/home"
  # PulseAudio refuses a runtime folder that others can enter.
  chmod 0700 "$sound_server_dir" "$sound_server_dir/runtime" "$sound_server_dir/home"
  export XDG_RUNTIME_DIR="$sound_server_dir/runtime"
  export HOME="$sound_server_dir/home"
  unset PULSE_SERVER

  pulseaudio -n --daemonize=no --exit-idle-time=-1 \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=nullsink rate=44100" \
    >"$sound_server_dir/pulseaudio.log" 2>&1 &
  sound_server_pid=$!

  # The daemon must not outlive this shell, even if it is killed without
  # running its traps.
  local shell_pid=$$
  (
    trap - EXIT
    while kill -0 "$shell_pid" 2>/dev/null && kill -0 "$sound_server_pid" 2>/dev/null; do sleep 2; done
    kill "$sound_server_pid" 2>/dev/null
  ) >/dev/null 2>&1 &
  sound_watch_pid=$!

  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "soundserver: PulseAudio did not start; sound tests will skip" >&2
    cat "$sound_server_dir/pulseaudio.log" >&2 || true
    stop_sound_server
    return 0
  fi

  # A fresh null sink holds back sound for about 2 s after it starts; a short
  # silence played to its end waits that out, so that the first test plays on
  # time. A running monitor then keeps the sink from falling asleep again.
  parec -d nullsink.monitor --latency-msec=20 >/dev/null 2>&1 &
  sound_monitor_pid=$!
  head -c 4410 /dev/zero |
    timeout 10 pacat --raw --format=s16le --channels=1 --rate=44100 --latency-msec=20 >/dev/null 2>&1 || true
  echo "soundserver: PulseAudio with null sink in $XDG_RUNTIME_DIR" >&2
  return 0
}

stop_sound_server() {
  local pid
  # Callers run with "set -e": no command here may end the shell early.
  for pid in "$sound_monitor_pid" "$sound_server_pid" "$sound_watch_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  done
  for pid in "$sound_monitor_pid" "$sound_server_pid" "$sound_watch_pid"; do
    if [ -n "$pid" ]; then wait "$pid" || true; fi
  done 2>/dev/null
  sound_monitor_pid=""
  sound_server_pid=""
  sound_watch_pid=""
  if [ -n "$sound_server_dir" ]; then
    rm -rf "$sound_server_dir"
    sound_server_dir=""
  fi
  return 0
}
