# Sourced by scripts/test: a private PulseAudio daemon with a null sink.
start_sound_server() { :; }
stop_sound_server() { :; }
