#!/usr/bin/env bash
# First run of velmor-audio on a fresh Debian machine: one command that installs what the
# build needs, builds the release binary, and records a known sound from a virtual
# microphone and a known sound played into the default output of a private sound server,
# so that the whole path (server, capture, system audio, conversion, mixing, standard
# output, events) is seen working.
#
#   scripts/first-run.sh [OUTPUT.wav]        (as root, or as a user that may sudo)
#
# What it does:
#   1. scripts/install-deps.sh                       (skipped with VELMOR_SKIP_INSTALL=1)
#   2. cmake --preset release && cmake --build --preset release --target velmor-audio
#                                                    (skipped with VELMOR_SKIP_BUILD=1)
#   3. starts a private PulseAudio server in a temporary directory whose only microphone,
#      the default source, is a pipe fed with 48 kHz 16-bit mono PCM, and whose only output,
#      the default sink, is a null sink ("speakers");
#   4. starts `velmor-audio --mic default --system` (standard output to a raw file, standard
#      error to an events file) and waits for its "ready" event;
#   5. once system audio flows steadily (the silence of the speakers' monitor), plays into
#      the microphone, in real time: 0.5 s of silence, a 0.4 s 440 Hz tone,
#      0.3 s of silence, "Hello from velmor audio" spoken by espeak-ng, 0.7 s of silence;
#      then plays into the default output, as any application would (paplay), a 0.6 s
#      880 Hz chime, and waits for it to come through;
#   6. stops velmor-audio with SIGTERM (it must exit with status 0), converts what it wrote
#      to OUTPUT.wav (default ./velmor-first-run.wav), prints its events and a summary,
#      and checks that the recording is the sound that was played: the microphone's part
#      whole (the tone's pitch, the speech's level, and a sample-by-sample correlation with
#      what was played), then the chime from the default output (its pitch and level).
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
set-default-sink speakers
EOF
step "Starting a private PulseAudio server in $server"
pulse_server=$("$repo/scripts/pulse-test-server.sh" start "$server" "$work/devices.pa" </dev/null)
pulse_server=${pulse_server#PULSE_SERVER=}
echo "PULSE_SERVER=$pulse_server"

# ---- the sounds to play: tone, then speech, at the microphone's format; a chime for the output ----
espeak-ng -w "$work/speech.wav" "$phrase"
sox "$work/speech.wav" -r 48000 -c 1 -b 16 -e signed "$work/speech48.wav"
sox -n -r 48000 -c 1 -b 16 -e signed "$work/tone.wav" synth 0.4 sine 440 vol 0.5 fade 0.01 0.4 0.01
sox "$work/tone.wav" "$work/tone-padded.wav" pad 0.5 0.3
sox "$work/tone-padded.wav" "$work/speech48.wav" -t raw "$work/feed.raw" pad 0 0.7
feed_bytes=$(stat -c %s "$work/feed.raw")
feed_seconds=$(awk -v b="$feed_bytes" 'BEGIN { printf "%.3f", b / 96000 }')
speech_seconds=$(sox --i -D "$work/speech48.wav")
sox -n -r 48000 -c 2 -b 16 -e signed "$work/chime.wav" synth 0.6 sine 880 vol 0.5 fade 0.01 0.6 0.01

# ---- 4: velmor-audio ----
step "Starting: velmor-audio --mic default --system"
raw="$work/capture.raw"
events="$work/events.jsonl"
env -u PULSE_SOURCE -u PULSE_SINK PULSE_SERVER="$pulse_server" HOME="$server" XDG_RUNTIME_DIR="$server" \
  "$binary" --mic default --system >"$raw" 2>"$events" </dev/null &
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

# System audio first: an idle null sink on PulseAudio renders 2 s at a time, so its monitor
# starts up to 2 s late, and its first seconds come less evenly. The microphone's sound is
# played once system audio flows steadily. (System audio, started first, keeps the mixer's
# 20 frames queued; a microphone block that comes late then costs the microphone a silent
# frame, as the mixer must send one when a source lags that far: the speech is matched piece
# by piece below for that reason.)
for _ in $(seq 1 100); do
  [ "$(stat -c %s "$raw")" -gt 0 ] && break
  sleep 0.05
done
[ "$(stat -c %s "$raw")" -gt 0 ] || die "no system audio came out within 5 s of \"ready\""
sleep 2.2

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

# ---- 5b: play into the default output, as an application does ----
step "Playing a 0.6 s 880 Hz chime into the default output (the speakers)"
env -u PULSE_SOURCE -u PULSE_SINK PULSE_SERVER="$pulse_server" HOME="$server" XDG_RUNTIME_DIR="$server" \
  paplay "$work/chime.wav" </dev/null || die "paplay could not play into the default output"
sleep 1.0  # the chime's end and what velmor-audio still holds reach standard output

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
db() { awk -v a="$1" 'BEGIN { if (a <= 0) print "-inf"; else printf "%.1f", 20 * log(a) / log(10) }'; }
abs_peak=$(awk -v p="$peak" -v t="$trough" 'BEGIN { t = -t; print (p > t ? p : t) }')
# Sample by sample against what was played (resampled to 16 kHz by sox). Silent system audio
# may come out before the microphone's first sample, so the microphone's sound is found
# first by its tone's onset (expected 0.5 s in); the tone, then the speech piece by piece, are
# matched each at its best lag near the one before, and the worst correlation is the match.
# The chime is what comes after the microphone's sound.
sox -t raw -r 48000 -e signed -b 16 -c 1 "$work/feed.raw" -t raw -r 16000 "$work/expected.raw"
read -r match_lag match_corr < <(python3 - "$work/expected.raw" "$raw" <<'PY'
import array, math, sys
def load(path):
    samples = array.array("h")
    samples.frombytes(open(path, "rb").read())
    return samples
expected, recorded = load(sys.argv[1]), load(sys.argv[2])
onset = next((i for i, x in enumerate(recorded) if abs(x) > 8000), None)
if onset is None:
    print(0, "0")
    sys.exit()
coarse = onset - 8000  # the tone starts 0.5 s into the microphone's sound
def correlation(lag, lo, hi):
    sxy = sxx = syy = 0.0
    for i in range(max(lo, -lag), min(hi, len(recorded) - lag)):
        x, y = expected[i], recorded[i + lag]
        sxy += x * y; sxx += x * x; syy += y * y
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else 0.0
def best(lo, hi, around, reach):
    # Coarse, then fine.
    near = max(range(around - reach, around + reach + 1, 8), key=lambda l: correlation(l, lo, hi))
    return max(range(near - 8, near + 9), key=lambda l: correlation(l, lo, hi))
# The tone fades in, so its onset is a little late: search around it. Then the speech, a
# quarter of a second at a time, each piece at its best lag near the one before: when the
# microphone's delivery falls 200 ms behind the system audio's, the mixer sends a frame or
# two with the microphone's part silent (as it must when one source lags), which moves what
# follows. The match is the worst piece's correlation, or the tone's.
tone = (8000, 14400)     # 0.5 s to 0.9 s
lag = best(*tone, coarse, 480)
worst = correlation(lag, *tone)
piece_lag = lag
for lo in range(19200, len(expected) - 4000, 4000):  # from 1.2 s, the start of the speech
    if sum(x * x for x in expected[lo:lo + 4000]) < 4000 * 300 ** 2:
        continue  # a pause: nothing to match
    piece_lag = best(lo, lo + 4000, piece_lag, 160)
    worst = min(worst, correlation(piece_lag, lo, lo + 4000))
print(lag, "%.4f" % worst)
PY
)
at() { awk -v l="$match_lag" -v s="$1" 'BEGIN { printf "%.4f", l / 16000 + s }'; }
tone=$(stat_of trim "$(at 0.5)" 0.4)
tone_freq=$(field "Rough   frequency" <<<"$tone")
speech=$(stat_of trim "$(at 1.2)" "$speech_seconds")
speech_rms=$(field "RMS     amplitude" <<<"$speech")
# The chime: the loudest 0.5 s after the microphone's sound.
chime_at=$(python3 - "$raw" "$(at "$feed_seconds")" <<'PY'
import array, math, sys
samples = array.array("h")
samples.frombytes(open(sys.argv[1], "rb").read())
start = int(float(sys.argv[2]) * 16000)
best, best_at = 0.0, start
for at in range(start, max(start, len(samples) - 8000), 160):
    energy = sum(x * x for x in samples[at:at + 8000:4])
    if energy > best:
        best, best_at = energy, at
print("%.4f" % (best_at / 16000))
PY
)
chime=$(stat_of trim "$chime_at" 0.5)
chime_freq=$(field "Rough   frequency" <<<"$chime")
chime_rms=$(field "RMS     amplitude" <<<"$chime")

step "Summary"
printf 'Recorded %.2f s (%d bytes of 16-bit mono at 16000 Hz; %.2f s were played into the microphone); peak %s dBFS, RMS %s dBFS; tone part ~%s Hz; speech part RMS %s dBFS; velmor-audio exited with status %d on SIGTERM\n' \
  "$duration" "$raw_bytes" "$feed_seconds" "$(db "$abs_peak")" "$(db "$rms")" "$tone_freq" "$(db "$speech_rms")" "$velmor_status"
echo "Microphone: correlation $match_corr with what was played, starting $match_lag samples into the recording"
printf 'Default output: the chime at %s s, ~%s Hz, RMS %s dBFS (played at %s dBFS)\n' \
  "$chime_at" "$chime_freq" "$(db "$chime_rms")" "$(db 0.3536)"
echo "WAV: $output"

failures=()
[ "$velmor_status" -eq 0 ] || failures+=("velmor-audio exited with status $velmor_status on SIGTERM, not 0")
grep -q '"type":"device"' "$events" || failures+=("no device event")
grep -q '"type":"error"' "$events" && failures+=("velmor-audio reported an error")
[ $((raw_bytes % 320)) -eq 0 ] || failures+=("standard output is not a whole number of 10 ms frames ($raw_bytes bytes)")
awk -v d="$duration" -v f="$feed_seconds" 'BEGIN { exit !(d >= f + 0.6) }' ||
  failures+=("recorded $duration s, but $feed_seconds s were played into the microphone and 0.6 s into the output")
grep -q '"via":"tap"' "$events" || failures+=("system audio was not recorded through the tap")
awk -v p="$abs_peak" 'BEGIN { exit !(p >= 0.25) }' || failures+=("peak $abs_peak is far below the tone's 0.5")
awk -v f="$tone_freq" 'BEGIN { exit !(f >= 420 && f <= 460) }' || failures+=("the tone part is at ~$tone_freq Hz, not 440 Hz")
awk -v r="$speech_rms" 'BEGIN { exit !(r >= 0.02) }' || failures+=("the speech part is near silence (RMS $speech_rms)")
awk -v c="$match_corr" 'BEGIN { exit !(c >= 0.95) }' ||
  failures+=("the recording does not match what was played (correlation $match_corr)")
awk -v f="$chime_freq" 'BEGIN { exit !(f >= 860 && f <= 900) }' ||
  failures+=("the chime from the default output is at ~$chime_freq Hz, not 880 Hz")
awk -v r="$chime_rms" 'BEGIN { exit !(r >= 0.3 && r <= 0.4) }' ||
  failures+=("the chime from the default output has RMS $chime_rms, not about 0.35")
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "First run OK: the microphone's tone and speech, and the chime played into the default output, came through velmor-audio."
