#!/usr/bin/env bash
# What `--events` costs against a calendar store, on the release build:
#
#   scripts/measure-events.sh [RUNS]      (default 20; VELMOR_AUDIO=PATH measures another binary)
#
# A private store as a desktop runs it: a session bus of its own in a temporary home, on
# which Evolution Data Server's services start by activation. Its "Personal" calendar holds
# 500 meetings in the next 24 hours: 450 single ones and 25 daily ones that began yesterday
# (two instances each in the window), each with a description and four attendees; a second
# calendar and a mail identity are there as on a desktop. Then:
#
# 1. The first call, with no service running yet: `--events --hours 24` starts the source
#    registry, the calendar factory and (for the birthdays calendar) the address-book
#    factory. Measured once per run of this script.
# 2. With the services running, as on a desktop: the wall time of `--events --hours 24`
#    (checked to list 500 meetings) and of `--events --access-only`, RUNS times each:
#    median, fastest and slowest.
#
# Targets: under 300 ms for the events, under 50 ms for the access alone (medians). Exit
# status: 0 both met, 1 a target missed, 2 a measurement failed. Leaves nothing running.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-20}
binary=$(realpath -m "${VELMOR_AUDIO:-$repo/build/release/src/velmor-audio}")
if [ ! -x "$binary" ]; then
  echo "no $binary: build it with" >&2
  echo "  cmake --preset release && cmake --build --preset release --target velmor-audio" >&2
  exit 2
fi
for tool in dbus-daemon python3 setsid; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 2; }
done
[ -x /usr/libexec/evolution-source-registry ] || { echo "evolution-data-server is missing: run scripts/install-deps.sh" >&2; exit 2; }

work=$(mktemp -d /tmp/velmor-measure-events.XXXXXX)
bus_pid=
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$bus_pid" ]; then
    # The bus and every service it started share its process group.
    kill -TERM -- "-$bus_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 -- "-$bus_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$bus_pid" 2>/dev/null || true
    wait "$bus_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$work"/{home,data,config,cache,runtime} "$work/data/evolution/calendar/system" "$work/config/evolution/sources"
chmod 700 "$work/runtime"
python3 - "$work/data/evolution/calendar/system/calendar.ics" <<'PY'
import sys, time
now = int(time.time()) // 60 * 60
def utc(t): return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(t))
lines = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//velmor//measure//EN"]
def attendees(i):
    return ["ORGANIZER;CN=Organiser %d:mailto:org%d@example.com" % (i, i),
            "ATTENDEE;CN=Me;PARTSTAT=ACCEPTED:mailto:me@example.com",
            "ATTENDEE;CN=Ada %d;PARTSTAT=ACCEPTED:mailto:ada%d@example.com" % (i, i),
            "ATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:bob%d@example.com" % i,
            "ATTENDEE;CUTYPE=ROOM;CN=Room %d:mailto:room%d@example.com" % (i % 7, i % 7)]
for i in range(450):
    start = now + 60 + i * 180  # one every 3 minutes over the next 22.5 hours
    lines += ["BEGIN:VEVENT", "UID:single-%d@example.com" % i, "DTSTAMP:20260101T000000Z",
              "DTSTART:" + utc(start), "DTEND:" + utc(start + 1800), "SUMMARY:Meeting %d" % i,
              "LOCATION:Room %d" % (i % 7),
              "DESCRIPTION:Agenda for meeting %d\\nJoin: https://meet.google.com/abc-%04d" % (i, i)]
    lines += attendees(i) + ["END:VEVENT"]
for i in range(25):
    start = now - 86400 - 1800 + i * 60  # yesterday; today's and tomorrow's instances fall in the window
    lines += ["BEGIN:VEVENT", "UID:daily-%d@example.com" % i, "DTSTAMP:20260101T000000Z",
              "DTSTART:" + utc(start), "DURATION:PT15M", "RRULE:FREQ=DAILY", "SUMMARY:Daily %d" % i,
              "DESCRIPTION:https://zoom.us/j/%d" % i]
    lines += attendees(i) + ["END:VEVENT"]
lines.append("END:VCALENDAR")
open(sys.argv[1], "w").write("\r\n".join(lines) + "\r\n")
PY
cat > "$work/config/evolution/sources/me.source" <<'SRC'
[Data Source]
DisplayName=Me
Enabled=true
Parent=

[Mail Identity]
Address=me@example.com
Name=Me
SRC
cat > "$work/config/evolution/sources/work.source" <<'SRC'
[Data Source]
DisplayName=Work
Enabled=true
Parent=local-stub

[Calendar]
BackendName=local
SRC
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF

export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime GSETTINGS_BACKEND=memory DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus
unset DISPLAY WAYLAND_DISPLAY
setsid dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --nosyslog >"$work/bus.log" 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done
[ -S "$work/bus" ] || { echo "the session bus did not start" >&2; cat "$work/bus.log" >&2; exit 2; }

python3 - "$binary" "$runs" <<'PY'
import json, statistics, subprocess, sys, time
binary, runs = sys.argv[1], int(sys.argv[2])

def run(args):
    started = time.monotonic()
    done = subprocess.run([binary] + args, capture_output=True)
    elapsed = (time.monotonic() - started) * 1000
    if done.returncode != 0 or done.stderr:
        sys.exit("%s failed (%d): %s" % (" ".join(args), done.returncode, done.stderr.decode(errors="replace")))
    return elapsed, json.loads(done.stdout)

def meetings(document):
    if document["access"] != "granted":
        sys.exit("access is %s, not granted" % document["access"])
    return len(document["events"])

first, document = run(["--events", "--hours", "24"])
count = meetings(document)
if count != 500:
    sys.exit("the first call listed %d meetings, not 500" % count)
print("first --events --hours 24, starting the store's services: %.0f ms" % first)

def measure(args, target):
    times = []
    for _ in range(runs):
        elapsed, document = run(args)
        if "--access-only" not in args and meetings(document) != 500:
            sys.exit("listed %d meetings, not 500" % meetings(document))
        times.append(elapsed)
    median = statistics.median(times)
    print("%-34s median %6.1f ms  fastest %6.1f  slowest %6.1f  (%d runs; target %d ms)"
          % (" ".join(args), median, min(times), max(times), runs, target))
    return median <= target

ok = measure(["--events", "--hours", "24"], 300)
ok = measure(["--events", "--access-only"], 50) and ok
sys.exit(0 if ok else 1)
PY
