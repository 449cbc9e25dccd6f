#!/usr/bin/env bash
# Builds the libFuzzer harnesses (the "fuzz" preset: clang, ASan + UBSan) and runs each for a
# fixed time, starting from its seed corpus in fuzz/corpus (copied, so the tree stays as it
# is). Fails on the first crash, leak or sanitizer report. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for harness in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$harness")
  mkdir -p "$work/$name"
  cp -r "fuzz/corpus/$name/." "$work/$name/" 2>/dev/null || true
  echo "== $name, ${seconds} s"
  status=0
  "$harness" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" "$work/$name" \
    >"$work/$name.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$work/$name.log" >&2
    echo "$name failed; the input that failed it:" >&2
    for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-*; do [ -f "$artifact" ] && od -c "$artifact" | head >&2; done
    exit 1
  fi
done
