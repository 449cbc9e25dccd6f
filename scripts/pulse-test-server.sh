#!/usr/bin/env bash
# A private PulseAudio server with fabricated microphones, for running velmor-audio by hand
# and for timing it. The test suite (tests/pulse) starts servers of its own and needs none
# of this.
#
#   scripts/pulse-test-server.sh start DIR [COMMANDS_FILE]
#       Starts a server in DIR (made if missing) and prints the PULSE_SERVER value. The
#       server's devices are the commands in COMMANDS_FILE, or a dozen microphones and two
#       speakers. "pipe_mic" reads 48 kHz 16-bit mono PCM written to DIR/mic.fifo, e.g.
#         sox -n -r 48000 -c 1 -b 16 -e signed -t raw DIR/mic.fifo synth 1 sine 440 vol 0.5
#   scripts/pulse-test-server.sh stop DIR
#       Stops it and removes DIR.
set -euo pipefail

usage() { echo "usage: $0 start DIR [COMMANDS_FILE] | stop DIR" >&2; exit 2; }
[ $# -ge 2 ] || usage
command=$1
dir=$(realpath -m "$2")
marker="$dir/.velmor-pulse-test-server"

default_devices() {
  cat <<EOF
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
load-module module-null-sink sink_name=headphones sink_properties=device.description=Headphones
load-module module-null-source source_name=hda_mic channels=2
update-source-proplist hda_mic device.description="Internal Microphone" device.bus=pci
load-module module-null-source source_name=soc_mic channels=1
update-source-proplist soc_mic device.description="Digital Microphone" device.bus=platform
load-module module-null-source source_name=laptop_array channels=4
update-source-proplist laptop_array device.description="Microphone Array" device.bus=usb device.form_factor=internal
load-module module-null-source source_name=usb_headset channels=1
update-source-proplist usb_headset device.description="USB Headset" device.bus=usb
load-module module-null-source source_name=webcam channels=2
update-source-proplist webcam device.description="Webcam" device.bus=usb
load-module module-null-source source_name=bt_headset channels=1
update-source-proplist bt_headset device.description="Bluetooth Headset" device.bus=bluetooth
load-module module-null-source source_name=studio channels=1
update-source-proplist studio device.description="Studio Remote" tunnel.remote.server=tcp:studio
load-module module-null-source source_name=line_in channels=2
update-source-proplist line_in device.description="Line In" device.bus=isa
load-module module-null-source source_name=recorder channels=2
update-source-proplist recorder device.description="Field Recorder" device.bus=usb
load-module module-sine-source source_name=sine_mic rate=48000 frequency=440
update-source-proplist sine_mic device.description="Sine 440 Hz"
load-module module-pipe-source source_name=pipe_mic file=$dir/mic.fifo format=s16le rate=48000 channels=1
update-source-proplist pipe_mic device.description="Pipe Microphone"
load-module module-remap-source source_name=remapped master=hda_mic source_properties=device.description=Remapped
set-default-source hda_mic
EOF
}

case "$command" in
  start)
    [ $# -le 3 ] || usage
    if [ -e "$dir/server.pid" ] && kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
      echo "a server is already running in $dir" >&2; exit 1
    fi
    mkdir -p "$dir"
    touch "$marker"
    {
      echo "load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1"
      echo "load-module module-cli-protocol-unix socket=$dir/cli"
      if [ $# -eq 3 ]; then cat "$3"; else default_devices; fi
    } > "$dir/server.pa"
    # Its own home and runtime directory: no session bus, no user config, no other server.
    HOME="$dir" XDG_RUNTIME_DIR="$dir" setsid pulseaudio -n -F "$dir/server.pa" --daemonize=no \
      --exit-idle-time=-1 --disallow-exit --system=false --disable-shm --use-pid-file=no \
      --log-target="file:$dir/server.log" </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/server.pid"
    for _ in $(seq 1 200); do
      if PULSE_SERVER="unix:$dir/native" HOME="$dir" pactl info >/dev/null 2>&1; then
        echo "PULSE_SERVER=unix:$dir/native"
        exit 0
      fi
      kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
      sleep 0.05
    done
    echo "the server did not start; its log:" >&2
    cat "$dir/server.log" >&2 || true
    kill "$(cat "$dir/server.pid")" 2>/dev/null || true
    exit 1
    ;;
  stop)
    [ $# -eq 2 ] || usage
    [ -e "$marker" ] || { echo "$dir holds no server started by this script" >&2; exit 1; }
    if [ -e "$dir/server.pid" ]; then
      pid=$(cat "$dir/server.pid")
      kill -CONT "$pid" 2>/dev/null || true
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *) usage ;;
esac
