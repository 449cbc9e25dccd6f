#!/usr/bin/env bash
# First run of velmor-audio on a fresh Debian machine: one command that installs what the
# build needs, builds the release binary, and records a known sound from a virtual
# microphone on a private sound server, so that the whole path (server, capture,
# conversion, mixing, standard output, events) is seen working.
#
#   scripts/first-run.sh [OUTPUT.wav]        (as root, or as a user that may sudo)
#
# What it does:
#   1. scripts/install-deps.sh                       (skipped with VELMOR_SKIP_INSTALL=1)
#   2. cmake --preset release && cmake --build --preset release --target velmor-audio
#                                                    (skipped with VELMOR_SKIP_BUILD=1)
#   3. starts a private PulseAudio server in a temporary directory whose only microphone,
#      the default source, is a pipe fed with 48 kHz 16-bit mono PCM;
#   4. starts `velmor-audio --mic default` (standard output to a raw file, standard error
#      to an events file) and waits for its "ready" event;
#   5. plays into the microphone, in real time: 0.5 s of silence, a 0.4 s 440 Hz tone,
#      0.3 s of silence, "Hello from velmor audio" spoken by espeak-ng, 0.7 s of silence;
#   6. stops velmor-audio with SIGTERM (it must exit with status 0), converts what it wrote
#      to OUTPUT.wav (default ./velmor-first-run.wav), prints its events and a summary,
#      and checks that the recording is the sound that was played: its length, the tone's
#      pitch, the speech's level, and a sample-by-sample correlation with what was played.
# The server, the feeder and velmor-audio are stopped on every exit, and the temporary
# directory is removed. Nothing is read from standard input. Running it again redoes the
# recording and overwrites OUTPUT.wav. Exit status 0 only when every check passed.
#
# Environment: VELMOR_SKIP_INSTALL=1, VELMOR_SKIP_BUILD=1 (then build/release/src/velmor-audio
# must exist), VELMOR_AUDIO=PATH (run that binary instead; implies no build).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
output=$(realpath -m "${1:-./velmor-first-run.wav}")
phrase="Hello from velmor audio"
step() { printf '\n==> %s\n' "$*"; }
die() { printf 'first-run: %s\n' "$*" >&2; exit 1; }

# ---- 1 and 2: dependencies and build ----
if [ "${VELMOR_SKIP_INSTALL:-0}" != 1 ]; then
  step "Installing dependencies (scripts/install-deps.sh)"
  "$repo/scripts/install-deps.sh" </dev/null
fi
for tool in pulseaudio pactl sox espeak-ng python3; do
  command -v "$tool" >/dev/null || die "$tool is missing: run without VELMOR_SKIP_INSTALL=1"
done

if [ -n "${VELMOR_AUDIO:-}" ]; then
  binary=$(realpath -m "$VELMOR_AUDIO")
elif [ "${VELMOR_SKIP_BUILD:-0}" != 1 ]; then
  step "Building the release preset"
  (cd "$repo" && cmake --preset release </dev/null && cmake --build --preset release --target velmor-audio </dev/null)
  binary="$repo/build/release/src/velmor-audio"
else
  binary="$repo/build/release/src/velmor-audio"
fi
[ -x "$binary" ] || die "no velmor-audio binary at $binary"

# ---- 3: a private server ----
work=$(mktemp -d /tmp/velmor-first-run.XXXXXX)
server="$work/server"
velmor_pid=
feeder_pid=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$feeder_pid" ]; then kill "$feeder_pid" 2>/dev/null || true; wait "$feeder_pid" 2>/dev/null || true; fi
  if [ -n "$velmor_pid" ]; then kill -KILL "$velmor_pid" 2>/dev/null || true; wait "$velmor_pid" 2>/dev/null || true; fi
  if [ -e "$server/.velmor-pulse-test-server" ]; then "$repo/scripts/pulse-test-server.sh" stop "$server" || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat > "$work/devices.pa" <<EOF
load-module module-pipe-source source_name=first_run_mic file=$server/mic.fifo format=s16le rate=48000 channels=1
update-source-proplist first_run_mic device.description="Velmor First-Run Microphone"
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
set-default-source first_run_mic
EOF
step "Starting a private PulseAudio server in $server"
pulse_server=$("$repo/scripts/pulse-test-server.sh" start "$server" "$work/devices.pa" </dev/null)
pulse_server=${pulse_server#PULSE_SERVER=}
echo "PULSE_SERVER=$pulse_server"

# ---- the sound to play: tone, then speech, at the microphone's format ----
espeak-ng -w "$work/speech.wav" "$phrase"
sox "$work/speech.wav" -r 48000 -c 1 -b 16 -e signed "$work/speech48.wav"
sox -n -r 48000 -c 1 -b 16 -e signed "$work/tone.wav" synth 0.4 sine 440 vol 0.5 fade 0.01 0.4 0.01
sox "$work/tone.wav" "$work/tone-padded.wav" pad 0.5 0.3
sox "$work/tone-padded.wav" "$work/speech48.wav" -t raw "$work/feed.raw" pad 0 0.7
feed_bytes=$(stat -c %s "$work/feed.raw")
feed_seconds=$(awk -v b="$feed_bytes" 'BEGIN { printf "%.3f", b / 96000 }')
speech_seconds=$(sox --i -D "$work/speech48.wav")

# ---- 4: velmor-audio ----
step "Starting: velmor-audio --mic default"
raw="$work/capture.raw"
events="$work/events.jsonl"
env -u PULSE_SOURCE -u PULSE_SINK PULSE_SERVER="$pulse_server" HOME="$server" XDG_RUNTIME_DIR="$server" \
  "$binary" --mic default >"$raw" 2>"$events" </dev/null &
velmor_pid=$!
ready=0
for _ in $(seq 1 200); do
  if grep -q '"type":"ready"' "$events"; then ready=1; break; fi
  kill -0 "$velmor_pid" 2>/dev/null || break
  sleep 0.05
done
if [ "$ready" != 1 ]; then
  cat "$events" >&2
  if kill -0 "$velmor_pid" 2>/dev/null; then die "velmor-audio did not report ready within 10 s"; fi
  status=0
  wait "$velmor_pid" || status=$?
  velmor_pid=
  die "velmor-audio exited with status $status before it reported ready"
fi

# ---- 5: play into the microphone in real time, 10 ms at a time ----
step "Playing ${feed_seconds} s into the microphone: a 440 Hz tone, then \"$phrase\""
python3 - "$server/mic.fifo" "$work/feed.raw" <<'PY' &
import os, select, sys, time
fifo, path = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
chunk = 960  # 10 ms of 48 kHz 16-bit mono
fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
start = time.monotonic()
for i, at in enumerate(range(0, len(data), chunk)):
    # Each block is written once the time it covers has passed, as a microphone delivers it.
    delay = start + (i + 1) * 0.010 - time.monotonic()
    if delay > 0:
        time.sleep(delay)
    block = data[at:at + chunk]
    while block:
        # The server reads the pipe only while something records from the source.
        if not select.select([], [fd], [], 2.0)[1]:
            sys.exit("the microphone's pipe has not been read for 2 s: nothing is recording from it")
        try:
            block = block[os.write(fd, block):]
        except BlockingIOError:
            pass
os.close(fd)
PY
feeder_pid=$!
wait "$feeder_pid" || die "feeding the microphone failed"
feeder_pid=
sleep 0.3  # what the server and velmor-audio still hold reaches standard output

# ---- 6: stop, convert, report ----
kill -TERM "$velmor_pid"
velmor_status=0
wait "$velmor_pid" || velmor_status=$?
velmor_pid=

step "Events velmor-audio reported on standard error"
cat "$events"

raw_bytes=$(stat -c %s "$raw")
[ "$raw_bytes" -gt 0 ] || die "velmor-audio wrote no audio"
sox -t raw -r 16000 -e signed -b 16 -c 1 "$raw" "$output"

stat_of() { sox "$output" -n "$@" stat 2>&1; }
field() { awk -F: -v k="$1" '$1 ~ "^" k { gsub(/ /, "", $2); print $2; exit }'; }
whole=$(stat_of)
duration=$(sox --i -D "$output")
peak=$(field "Maximum amplitude" <<<"$whole")
trough=$(field "Minimum amplitude" <<<"$whole")
rms=$(field "RMS     amplitude" <<<"$whole")
# The stream starts with what was played (the pipe is silent and sends nothing before).
tone=$(stat_of trim 0.5 0.4)
tone_freq=$(field "Rough   frequency" <<<"$tone")
speech=$(stat_of trim 1.2 "$speech_seconds")
speech_rms=$(field "RMS     amplitude" <<<"$speech")
db() { awk -v a="$1" 'BEGIN { if (a <= 0) print "-inf"; else printf "%.1f", 20 * log(a) / log(10) }'; }
abs_peak=$(awk -v p="$peak" -v t="$trough" 'BEGIN { t = -t; print (p > t ? p : t) }')
# Sample by sample against what was played (resampled to 16 kHz by sox): the best lag
# within +-64 samples, found on the speech, then the correlation over the whole recording.
sox -t raw -r 48000 -e signed -b 16 -c 1 "$work/feed.raw" -t raw -r 16000 "$work/expected.raw"
read -r match_lag match_corr < <(python3 - "$work/expected.raw" "$raw" <<'PY'
import array, math, sys
def load(path):
    samples = array.array("h")
    samples.frombytes(open(path, "rb").read())
    return samples
expected, recorded = load(sys.argv[1]), load(sys.argv[2])
def correlation(lag, lo, hi):
    sxy = sxx = syy = 0.0
    for i in range(max(lo, -lag), min(hi, len(recorded) - lag)):
        x, y = expected[i], recorded[i + lag]
        sxy += x * y; sxx += x * x; syy += y * y
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else 0.0
speech = (19200, min(len(expected), 19200 + 8000))  # from 1.2 s, the start of the speech
lag = max(range(-64, 65), key=lambda l: correlation(l, *speech))
print(lag, "%.4f" % correlation(lag, 0, len(expected)))
PY
)

step "Summary"
printf 'Recorded %.2f s (%d bytes of 16-bit mono at 16000 Hz; %.2f s were played); peak %s dBFS, RMS %s dBFS; tone part ~%s Hz; speech part RMS %s dBFS; velmor-audio exited with status %d on SIGTERM\n' \
  "$duration" "$raw_bytes" "$feed_seconds" "$(db "$abs_peak")" "$(db "$rms")" "$tone_freq" "$(db "$speech_rms")" "$velmor_status"
echo "Match with what was played: correlation $match_corr at a lag of $match_lag samples"
echo "WAV: $output"

failures=()
[ "$velmor_status" -eq 0 ] || failures+=("velmor-audio exited with status $velmor_status on SIGTERM, not 0")
grep -q '"type":"device"' "$events" || failures+=("no device event")
grep -q '"type":"error"' "$events" && failures+=("velmor-audio reported an error")
[ $((raw_bytes % 320)) -eq 0 ] || failures+=("standard output is not a whole number of 10 ms frames ($raw_bytes bytes)")
awk -v d="$duration" -v f="$feed_seconds" 'BEGIN { exit !(d >= f - 0.1 && d <= f + 0.1) }' ||
  failures+=("recorded $duration s, but $feed_seconds s were played")
awk -v p="$abs_peak" 'BEGIN { exit !(p >= 0.25) }' || failures+=("peak $abs_peak is far below the tone's 0.5")
awk -v f="$tone_freq" 'BEGIN { exit !(f >= 420 && f <= 460) }' || failures+=("the tone part is at ~$tone_freq Hz, not 440 Hz")
awk -v r="$speech_rms" 'BEGIN { exit !(r >= 0.02) }' || failures+=("the speech part is near silence (RMS $speech_rms)")
awk -v c="$match_corr" 'BEGIN { exit !(c >= 0.95) }' ||
  failures+=("the recording does not match what was played (correlation $match_corr)")
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "First run OK: the microphone's tone and speech came through velmor-audio."
