#!/usr/bin/env bash
# What the microphone watch costs, against a private PulseAudio server, on the release build:
#
#   scripts/measure-watch.sh [SECONDS]      (default 120; VELMOR_AUDIO=PATH measures another binary)
#
# Ten clients record the server's microphones (parecord, each with an application id of its
# own, two of them recording one source) and one records the speakers' monitor, as on a
# desktop in a busy meeting. Then:
#
# 1. CPU per hour while idle: `velmor-audio --watch` runs for SECONDS after a 4 s warm-up
#    (its first look, its connection); its CPU over that window is the sum of
#    /proc/PID/task/*/schedstat (nanoseconds, every thread), scaled to an hour. utime+stime
#    from /proc/PID/stat (clock ticks) is shown as a cross-check, and the server's own CPU
#    over the same window for comparison (most of it is the ten recordings, not the watch).
#    The watch writes one line at the start and none after: the set does not change.
# 2. The wall time of one look (what each 2-second tick does), from bench_watch:
#    WatchLookOnTheServer, a look while the server reported no change (almost every tick:
#    the last answer serves); WatchLookAskingTheServer, a look that asks the server, one
#    round trip plus naming, sorting and comparing (the tick after a change); and
#    WatchLookSimulated, the program's own share without a server.
#
# Targets: under 1 s of CPU per hour; one look, even one that asks the server, under 5 ms. Exit status: 0 both met, 1 a
# target missed, 2 a measurement failed. Leaves nothing running.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-120}
binary=$(realpath -m "${VELMOR_AUDIO:-$repo/build/release/src/velmor-audio}")
bench=$repo/build/release/bench/bench_watch
for file in "$binary" "$bench"; do
  if [ ! -x "$file" ]; then
    echo "no $file: build it with" >&2
    echo "  cmake --preset release && cmake --build --preset release --target velmor-audio bench_watch" >&2
    exit 2
  fi
done
for tool in pulseaudio pactl parecord python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 2; }
done

work=$(mktemp -d /tmp/velmor-measure-watch.XXXXXX)
server="$work/server"
pids=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -e "$server/.velmor-pulse-test-server" ]; then "$repo/scripts/pulse-test-server.sh" stop "$server" || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat > "$work/devices.pa" <<EOF
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
load-module module-null-source source_name=internal_mic channels=2
update-source-proplist internal_mic device.description="Internal Microphone" device.bus=pci
load-module module-null-source source_name=webcam channels=2
update-source-proplist webcam device.description="Webcam" device.bus=usb
load-module module-null-source source_name=usb_headset channels=1
update-source-proplist usb_headset device.description="USB Headset" device.bus=usb
set-default-source internal_mic
EOF
pulse_server=$("$repo/scripts/pulse-test-server.sh" start "$server" "$work/devices.pa" </dev/null)
export PULSE_SERVER=${pulse_server#PULSE_SERVER=} HOME=$server
unset XDG_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS

sources=(internal_mic webcam usb_headset)
for i in $(seq 0 9); do
  parecord --device="${sources[$((i % 3))]}" --property=application.id="org.example.Recorder$((i % 9))" /dev/null &
  pids+=($!)
done
parecord --device=speakers.monitor --property=application.id=org.example.SystemRecorder /dev/null &
pids+=($!)
for _ in $(seq 100); do
  [ "$(pactl list short source-outputs | wc -l)" -ge 11 ] && break
  sleep 0.05
done
[ "$(pactl list short source-outputs | wc -l)" -ge 11 ] || { echo "the recording clients did not start" >&2; exit 2; }

echo "velmor-audio: $binary"
echo "server: $(pulseaudio --version) at $PULSE_SERVER; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"

"$binary" --watch >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
pids+=("$watch_pid")
server_pid=$(pgrep -f -- "-F $server/server.pa" | head -1 || true)

python3 - "$watch_pid" "$server_pid" "$seconds" >"$work/cpu.txt" <<'PY'
import glob, os, sys, time
pid, server, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
tck = os.sysconf("SC_CLK_TCK")
def schedstat(p):
    total = 0
    for f in glob.glob(f"/proc/{p}/task/*/schedstat"):
        try:
            total += int(open(f).read().split()[0])
        except (OSError, ValueError):
            pass
    return total
def ticks(p):
    fields = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
time.sleep(4)
t0, s0, k0 = time.monotonic(), schedstat(pid), ticks(pid)
v0 = schedstat(server) if server else 0
time.sleep(seconds)
t1, s1, k1 = time.monotonic(), schedstat(pid), ticks(pid)
v1 = schedstat(server) if server else 0
scale = 3600 / (t1 - t0)
print(f"{(s1 - s0) / 1e9 * scale:.3f} {(k1 - k0) / tck * scale:.2f} {(v1 - v0) / 1e9 * scale:.1f} {t1 - t0:.1f}")
PY
read -r cpu_hour ticks_hour server_hour window <"$work/cpu.txt"
kill -TERM "$watch_pid"
wait "$watch_pid" || true
lines=$(wc -l <"$work/watch.out")
echo
echo "1. watch CPU while idle over ${window} s, scaled to an hour: ${cpu_hour} s (schedstat); ${ticks_hour} s (utime+stime, 10 ms ticks)"
echo "   server CPU over the same window, scaled to an hour: ${server_hour} s (ten recordings and the watch's looks)"
echo "   lines written: $lines: $(head -1 "$work/watch.out")"
if [ -s "$work/watch.err" ]; then
  echo "   standard error:"
  cat "$work/watch.err"
fi

echo
echo "2. one look:"
"$bench" --benchmark_min_time=2 2>&1 | grep -E "^(Watch|---|Benchmark)" | tee "$work/bench.txt"
look_us=$(awk '$1 == "WatchLookAskingTheServer/real_time" { print ($3 == "ms" ? $2 * 1000 : $2) }' "$work/bench.txt")

status=0
python3 - "$cpu_hour" "${look_us:-nan}" "$lines" <<'PY' || status=$?
import sys
cpu, look, lines = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
if lines != 1 or look != look:
    print(f"measurement failed: {lines} lines (one expected), look {look} us")
    sys.exit(2)
print()
print(f"target CPU per hour < 1 s: {cpu:.3f} s, {'met' if cpu < 1 else 'MISSED'}")
print(f"target one look < 5 ms: {look / 1000:.3f} ms, {'met' if look < 5000 else 'MISSED'}")
sys.exit(0 if cpu < 1 and look < 5000 else 1)
PY
exit "$status"
