#!/usr/bin/env bash
# Live figures for velmor-audio against a private PulseAudio server, on the release build:
#
#   scripts/measure-live.sh            (VELMOR_AUDIO=PATH measures another binary)
#
# The server's default source is "pipe_mic", a module-pipe-source that reads 48 kHz 16-bit
# mono PCM from a fifo; beside it are a few idle sources and sinks, as on a desktop.
# Every run is `velmor-audio --mic default`, which records pipe_mic and writes 16 kHz PCM.
# Nothing reaches the pipe source unless a writer feeds it: it sends no silence of its own.
#
# 1. Latency, microphone to standard output. A feeder writes 48 kHz silence into the fifo
#    in real time: the block that covers samples [a, b) is written at t0 + b/48000, so no
#    sample is written before the moment it would have been spoken, and each block is at
#    most 5 ms long. A click (12 samples at full scale) is made the last samples of its
#    block, at random positions about 300 ms apart; the monotonic time just before that
#    block's write(2) is its entry time. A reader thread reads velmor-audio's standard
#    output (a pipe) as it comes, and timestamps every read(2) on return; the click is
#    found as the first output sample above a quarter of full scale, and its appearance
#    time is the return of the read that brought that sample. latency = appearance - entry.
#    Included: the kernel fifo, the server's pipe-source thread and its hand-over to the
#    record stream (10 ms fragments asked for by velmor-audio), the native protocol socket,
#    libpulse's thread, velmor-audio's queues, 48->16 kHz conversion (its filter delay),
#    the mixer's 10 ms framing, the stdout pipe and the reader's wake-up.
#    Not included: what a real microphone adds before the server sees a sample (the
#    device's period / DMA buffer, typically 5-25 ms with PulseAudio's timer scheduling,
#    more over Bluetooth), nor what the app reading standard output adds after.
#    Each click's position in the output is also checked against where it was written
#    (the same offset for every click), so that lost or repeated audio is caught.
# 2. CPU and memory: 25 s of a 440 Hz tone fed in real time in 10 ms blocks (the fragment
#    size velmor-audio asks the server for; the server passes on each block as it comes, so
#    smaller blocks mean more wake-ups and more CPU). CPU is utime+stime from
#    /proc/PID/stat (all threads, dead ones too) over the last 24 s, divided by the
#    seconds of audio velmor-audio wrote in that window, as % of one core; the sum of
#    /proc/PID/task/*/schedstat (ns) over the same window and getrusage of the reaped child
#    (its whole life) are shown as cross-checks, with the server's own CPU for comparison.
#    For a floor, the same is measured for `parec --latency-msec=10` (libpulse alone,
#    recording the same source at 48 kHz to /dev/null: no conversion, no mixing).
#    Memory is VmRSS and VmHWM from /proc/PID/status at the end of the recording, with
#    its anonymous and file-backed (mostly shared libraries) parts and the PSS from
#    /proc/PID/smaps_rollup; VmRSS one second in is shown too, to see any growth.
# 3. Start to "ready": 20 runs; from just before the fork to the return of the read of
#    standard error that brought {"type":"ready"}; then SIGTERM, and the time to exit.
#
# Targets: latency median < 40 ms, CPU < 0.5 % of a core, VmHWM < 10 MB (10^7 bytes),
# ready median < 100 ms. Exit status: 0 all met, 1 a target missed, 2 a measurement failed.
# Takes about 50 s and leaves nothing running (the server and every child are stopped).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binary=$(realpath -m "${VELMOR_AUDIO:-$repo/build/release/src/velmor-audio}")
if [ ! -x "$binary" ]; then
  echo "no velmor-audio at $binary: build it with" >&2
  echo "  cmake --preset release && cmake --build --preset release --target velmor-audio" >&2
  echo "or name one with VELMOR_AUDIO=PATH" >&2
  exit 2
fi
for tool in pulseaudio pactl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 2; }
done

work=$(mktemp -d /tmp/velmor-measure-live.XXXXXX)
server="$work/server"
measure_pid=
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # The measuring process stops the velmor-audio it started on SIGTERM.
  if [ -n "$measure_pid" ]; then kill -TERM "$measure_pid" 2>/dev/null || true; wait "$measure_pid" 2>/dev/null || true; fi
  if [ -e "$server/.velmor-pulse-test-server" ]; then "$repo/scripts/pulse-test-server.sh" stop "$server" || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat > "$work/devices.pa" <<EOF
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
load-module module-null-sink sink_name=headphones sink_properties=device.description=Headphones
load-module module-null-source source_name=internal_mic channels=2
update-source-proplist internal_mic device.description="Internal Microphone" device.bus=pci
load-module module-null-source source_name=webcam channels=2
update-source-proplist webcam device.description="Webcam" device.bus=usb
load-module module-null-source source_name=usb_headset channels=1
update-source-proplist usb_headset device.description="USB Headset" device.bus=usb
load-module module-pipe-source source_name=pipe_mic file=$server/mic.fifo format=s16le rate=48000 channels=1
update-source-proplist pipe_mic device.description="Pipe Microphone"
set-default-source pipe_mic
EOF
pulse_server=$("$repo/scripts/pulse-test-server.sh" start "$server" "$work/devices.pa" </dev/null)
pulse_server=${pulse_server#PULSE_SERVER=}

echo "velmor-audio: $binary"
echo "server: $(pulseaudio --version) at $pulse_server; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"

cat > "$work/measure.py" <<'PY'
import array, json, math, os, random, select, shutil, signal, statistics, subprocess, sys, threading, time

BINARY, SERVER_DIR, PULSE_SERVER = sys.argv[1:4]
FIFO = os.path.join(SERVER_DIR, "mic.fifo")
IN_RATE, OUT_RATE = 48000, 16000
ENV = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "DBUS_"))}
ENV.update(PULSE_SERVER=PULSE_SERVER, HOME=SERVER_DIR, XDG_RUNTIME_DIR=SERVER_DIR)
CLK_TCK = os.sysconf("SC_CLK_TCK")

class Failure(Exception):
    pass

children = []

class Velmor:
    """velmor-audio --mic default, with its standard output and error read by threads."""

    def __init__(self, keep_audio=True):
        self.keep_audio = keep_audio
        self.audio = bytearray()
        self.audio_bytes = 0
        self.reads = []  # (bytes received so far, monotonic time of the read's return)
        self.events = []  # (monotonic time, event)
        self.stderr_text = b""
        self.ready = threading.Event()
        self.lock = threading.Lock()
        self.spawned = time.monotonic()
        self.proc = subprocess.Popen([BINARY, "--mic", "default"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        children.append(self.proc)
        self.rusage = None
        self.threads = [threading.Thread(target=self._read_stdout, daemon=True),
                        threading.Thread(target=self._read_stderr, daemon=True)]
        for t in self.threads:
            t.start()

    def _read_stdout(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            now = time.monotonic()
            if not data:
                return
            with self.lock:
                self.audio_bytes += len(data)
                if self.keep_audio:
                    self.audio += data
                    self.reads.append((self.audio_bytes, now))

    def _read_stderr(self):
        fd = self.proc.stderr.fileno()
        pending = b""
        while True:
            data = os.read(fd, 65536)
            now = time.monotonic()
            if not data:
                return
            self.stderr_text += data
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    event = json.loads(line)
                except ValueError:
                    event = {"type": "unparsable", "text": line.decode(errors="replace")}
                self.events.append((now, event))
                if event.get("type") == "ready":
                    self.ready.set()

    def wait_ready(self, timeout=10.0):
        if not self.ready.wait(timeout):
            raise Failure("velmor-audio did not report ready within %.0f s; it said: %r"
                          % (timeout, self.stderr_text.decode(errors="replace")))
        return next(t for t, e in self.events if e.get("type") == "ready")

    def errors(self):
        return [e for _, e in self.events if e.get("type") in ("error", "unparsable")]

    def stop(self):
        """SIGTERM; returns (exit status, seconds to exit). Reaps with wait4 for the rusage."""
        sent = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        deadline = sent + 5
        while True:
            pid, status, rusage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                self.proc.kill()
                pid, status, rusage = os.wait4(self.proc.pid, 0)
                self.proc.returncode = -9
                raise Failure("velmor-audio did not exit within 5 s of SIGTERM")
            time.sleep(0.0005)
        took = time.monotonic() - sent
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        self.rusage = rusage
        for t in self.threads:
            t.join(2)
        return self.proc.returncode, took


class Feeder(threading.Thread):
    """Writes 48 kHz s16le mono into the pipe source in real time: the block [a, b) is written
    at t0 + b/48000. Blocks end every `block` samples and at every click's end."""

    CLICK = 12

    def __init__(self, seconds, block=240, clicks=(), tone=False):
        super().__init__(daemon=True)
        self.total = int(seconds * IN_RATE)
        self.block = block
        self.clicks = sorted(clicks)
        self.tone = tone
        self.click_times = {}
        self.lateness = []
        self.error = None
        self.stopping = False
        if tone:
            period = array.array("h", (int(8192 * math.sin(2 * math.pi * 440 * i / IN_RATE))
                                       for i in range(IN_RATE)))  # 1 s: a whole number of cycles
            self.tone_bytes = period.tobytes()

    def content(self, a, b):
        if self.tone:
            out = bytearray()
            i = a
            while i < b:
                j = min(b, (i // IN_RATE + 1) * IN_RATE)
                out += self.tone_bytes[2 * (i % IN_RATE):2 * (i % IN_RATE + j - i)]
                i = j
            return bytes(out)
        samples = bytearray(2 * (b - a))
        if b in self.click_set:
            samples[-2 * self.CLICK:] = b"\xff\x7f" * self.CLICK
        return bytes(samples)

    def run(self):
        try:
            self.click_set = set(self.clicks)
            bounds = sorted(set(range(self.block, self.total + 1, self.block)) | self.click_set)
            fd = os.open(FIFO, os.O_WRONLY | os.O_NONBLOCK)
            try:
                self.t0 = time.monotonic()
                a = 0
                for b in bounds:
                    if self.stopping:
                        break
                    due = self.t0 + b / IN_RATE
                    delay = due - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    data = self.content(a, b)
                    now = time.monotonic()
                    self.lateness.append(now - due)
                    if b in self.click_set:
                        self.click_times[b] = now
                    while data:
                        if not select.select([], [fd], [], 2.0)[1]:
                            raise Failure("the pipe source has not been read for 2 s")
                        try:
                            data = data[os.write(fd, data):]
                        except BlockingIOError:
                            pass
                    a = b
            finally:
                os.close(fd)
        except Exception as e:  # reported by the measurement that started it
            self.error = e


def proc_stat_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime


def schedstat_cpu(pid):
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9


def proc_status(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


results = []  # (name, value, target, met)


def check(name, value_text, met, target_text):
    results.append((name, value_text, target_text, met))
    print("  %-34s %-14s target %-12s %s" % (name, value_text, target_text, "ok" if met else "MISSED"))


def measure_latency(count=20):
    print("\n[1] Latency: a click written into the microphone's fifo -> its samples on standard output")
    rng = random.Random(20240611)
    clicks, at = [], IN_RATE  # the first after 1 s
    for _ in range(count):
        at += rng.randint(int(0.25 * IN_RATE), int(0.35 * IN_RATE))
        clicks.append(at)
    velmor = Velmor()
    try:
        velmor.wait_ready()
        feeder = Feeder(clicks[-1] / IN_RATE + 0.5, clicks=clicks)
        feeder.start()
        feeder.join()
        if feeder.error:
            raise Failure("feeding the microphone failed: %s" % feeder.error)
        time.sleep(0.2)
    finally:
        status, _ = velmor.stop()
    if status != 0:
        raise Failure("velmor-audio exited with status %d on SIGTERM" % status)

    samples = array.array("h")
    samples.frombytes(bytes(velmor.audio[:len(velmor.audio) // 2 * 2]))
    threshold = 32768 // 4
    found, last = [], -OUT_RATE
    for k, s in enumerate(samples):
        if abs(s) >= threshold and k - last > OUT_RATE // 20:
            found.append(k)
            last = k
    if len(found) != count:
        raise Failure("%d clicks were written but %d found in the output" % (count, len(found)))

    reads = velmor.reads
    latencies, offsets = [], []
    r = 0
    for c, k in zip(clicks, found):
        while reads[r][0] < 2 * (k + 1):
            r += 1
        latencies.append(reads[r][1] - feeder.click_times[c])
        offsets.append(k - (c - Feeder.CLICK) / 3)
    spread = max(offsets) - min(offsets)
    lateness = sorted(feeder.lateness)
    print("  %d clicks; latencies (ms): %s" % (count, " ".join("%.1f" % (l * 1000) for l in latencies)))
    print("  min %s, median %s, p90 %s, max %s" % (ms(min(latencies)), ms(statistics.median(latencies)),
          ms(sorted(latencies)[int(0.9 * (count - 1))]), ms(max(latencies))))
    print("  click position in the output: %.1f to %.1f samples (16 kHz) after where it was written"
          % (min(offsets), max(offsets)))
    print("  feeder's writes after their due time: median %s, max %s; %d bytes of output"
          % (ms(statistics.median(lateness)), ms(lateness[-1]), velmor.audio_bytes))
    if velmor.errors():
        print("  errors reported: %s" % velmor.errors())
    if spread > 4:
        raise Failure("the clicks' positions in the output moved by %.1f samples: audio was lost or repeated" % spread)
    check("latency median", ms(statistics.median(latencies)), statistics.median(latencies) < 0.040, "< 40 ms")
    print("  latency max: %s" % ms(max(latencies)))


def measure_cpu(seconds=25.0, skip=1.0):
    print("\n[2] CPU and memory: %.0f s of a 440 Hz tone recorded at 16000 Hz" % seconds)
    velmor = Velmor(keep_audio=False)
    server_pid = int(open(os.path.join(SERVER_DIR, "server.pid")).read())
    try:
        velmor.wait_ready()
        pid = velmor.proc.pid
        feeder = Feeder(seconds, block=IN_RATE // 100, tone=True)
        feeder.start()
        time.sleep(skip)
        start = (time.monotonic(), velmor.audio_bytes, proc_stat_cpu(pid), schedstat_cpu(pid), proc_stat_cpu(server_pid))
        early_rss_kb = int(proc_status(pid)["VmRSS"].split()[0])
        feeder.join()
        if feeder.error:
            raise Failure("feeding the microphone failed: %s" % feeder.error)
        time.sleep(0.1)
        end = (time.monotonic(), velmor.audio_bytes, proc_stat_cpu(pid), schedstat_cpu(pid), proc_stat_cpu(server_pid))
        status_fields = proc_status(pid)
        rollup = {}
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                rollup[key] = value.strip()
        total_bytes = velmor.audio_bytes
    finally:
        status, _ = velmor.stop()
    if status != 0:
        raise Failure("velmor-audio exited with status %d on SIGTERM" % status)
    audio = (end[1] - start[1]) / (2 * OUT_RATE)
    wall = end[0] - start[0]
    if audio < 0.9 * wall:
        raise Failure("only %.2f s of audio came out in %.2f s" % (audio, wall))
    cpu = (end[2] - start[2]) / audio
    cpu_sched = (end[3] - start[3]) / audio
    server = (end[4] - start[4]) / audio
    ru = velmor.rusage
    life_audio = total_bytes / (2 * OUT_RATE)
    rss_kb = int(status_fields["VmRSS"].split()[0])
    hwm_kb = int(status_fields["VmHWM"].split()[0])
    print("  window: %.2f s of audio in %.2f s; %s threads" % (audio, wall, status_fields.get("Threads")))
    check("CPU per second of audio", "%.3f %%" % (100 * cpu), cpu < 0.005, "< 0.5 %")
    print("  cross-checks: schedstat %.3f %%; whole life by getrusage %.3f s user + %.3f s system for %.2f s of audio"
          " (%.3f %%, start-up and shutdown included)"
          % (100 * cpu_sched, ru.ru_utime, ru.ru_stime, life_audio, 100 * (ru.ru_utime + ru.ru_stime) / life_audio))
    print("  for comparison, the PulseAudio server itself: %.3f %% of a core" % (100 * server))
    check("VmHWM (peak resident)", "%.2f MB" % (hwm_kb * 1024 / 1e6), hwm_kb * 1024 < 10e6, "< 10 MB")
    kb = lambda fields, key: int(fields[key].split()[0]) * 1024 / 1e6 if key in fields else float("nan")
    print("  VmRSS %.2f MB after 1 s, %.2f MB at the end: anonymous %.2f MB, file-backed %.2f MB; PSS %.2f MB"
          % (early_rss_kb * 1024 / 1e6, rss_kb * 1024 / 1e6, kb(status_fields, "RssAnon"),
             kb(status_fields, "RssFile"), kb(rollup, "Pss")))
    if velmor.errors():
        print("  errors reported: %s" % velmor.errors())


def measure_parec_floor(seconds=12.0, skip=1.0):
    parec = shutil.which("parec")
    if not parec:
        print("  (no parec: the libpulse floor is not measured)")
        return
    proc = subprocess.Popen([parec, "-d", "pipe_mic", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                             "--latency-msec=10"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=ENV)
    children.append(proc)
    try:
        time.sleep(0.5)
        if proc.poll() is not None:
            print("  (parec exited with status %s: the libpulse floor is not measured)" % proc.returncode)
            return
        feeder = Feeder(seconds, block=IN_RATE // 100, tone=True)
        feeder.start()
        time.sleep(skip)
        start = (time.monotonic(), proc_stat_cpu(proc.pid))
        feeder.join()
        if feeder.error:
            raise Failure("feeding the microphone failed: %s" % feeder.error)
        end = (time.monotonic(), proc_stat_cpu(proc.pid))
        fields = proc_status(proc.pid)
    finally:
        proc.terminate()
        proc.wait()
    print("  floor, parec --latency-msec=10 on the same feed: %.3f %% of a core per second of audio; VmHWM %.2f MB"
          % (100 * (end[1] - start[1]) / (end[0] - start[0]), int(fields["VmHWM"].split()[0]) * 1024 / 1e6))


def measure_startup(runs=20):
    print("\n[3] Start to \"ready\" (%d runs)" % runs)
    ready, device, exits = [], [], []
    for _ in range(runs):
        velmor = Velmor(keep_audio=False)
        try:
            t_ready = velmor.wait_ready()
        finally:
            status, took = velmor.stop()
        if status != 0:
            raise Failure("velmor-audio exited with status %d on SIGTERM" % status)
        ready.append(t_ready - velmor.spawned)
        dev = [t for t, e in velmor.events if e.get("type") == "device"]
        if dev:
            device.append(dev[0] - velmor.spawned)
        exits.append(took)
        if velmor.errors():
            print("  errors reported: %s" % velmor.errors())
    print("  ready (ms): %s" % " ".join("%.1f" % (r * 1000) for r in ready))
    check("ready median", ms(statistics.median(ready)), statistics.median(ready) < 0.100, "< 100 ms")
    print("  ready min %s, max %s; device event median %s; SIGTERM to exit median %s, max %s"
          % (ms(min(ready)), ms(max(ready)), ms(statistics.median(device)) if device else "none",
             ms(statistics.median(exits)), ms(max(exits))))


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # through the finally below
    try:
        measure_latency()
        measure_cpu()
        measure_parec_floor()
        measure_startup()
    except Failure as e:
        print("\nMEASUREMENT FAILED: %s" % e)
        return 2
    finally:
        for p in children:
            if p.poll() is None:
                p.kill()
                p.wait()
    missed = [name for name, _, _, met in results if not met]
    print("\nSummary: " + "; ".join("%s %s (%s)" % (n, v, t) for n, v, t, _ in results))
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))
    return 1 if missed else 0


sys.exit(main())
PY

# In the background, so that a signal to this script is handled at once.
python3 "$work/measure.py" "$binary" "$server" "$pulse_server" </dev/null &
measure_pid=$!
status=0
wait "$measure_pid" || status=$?
measure_pid=
exit "$status"
