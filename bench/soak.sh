#!/usr/bin/env bash
# Soak: renders several hostile ROMs to 1 GB of audio each and reports, every few seconds, the process's
# resident memory and the bytes it has written (audio and trace), then the totals: memory must stay flat
# and both streams must keep flowing.
#
#   bench/soak.sh [BUILD_DIR] [BYTES]     (defaults: build, 1000000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bytes=${2:-1000000000}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target nibplay make_test_roms >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/make_test_roms" "$tmp" 1

status=0
for name in creeping-loops zero-length-samples wild-tables breaks-and-delays all-ff song-at-FFF0 song-0; do
    rom="$tmp/$name.rom"
    mkfifo "$tmp/audio"
    head -c "$bytes" "$tmp/audio" | wc -c >"$tmp/audio-bytes" &
    "$build/nibplay" "$rom" x 2> >(wc -c >"$tmp/trace-bytes") >"$tmp/audio" &
    pid=$!
    min= max=0 samples=0 last_written=0 stalls=0
    while kill -0 "$pid" 2>/dev/null; do
        rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
        written=$(awk '/^wchar:/ {print $2}' "/proc/$pid/io" 2>/dev/null || true)
        # The first sample may catch start-up, before the buffers are in use.
        if [ -n "$rss" ] && [ -n "$written" ] && [ "$last_written" -gt 0 ]; then
            samples=$((samples + 1))
            [ -z "$min" ] || [ "$rss" -lt "$min" ] && min=$rss
            [ "$rss" -gt "$max" ] && max=$rss
            [ "$written" -le "$last_written" ] && stalls=$((stalls + 1))
        fi
        [ -n "$written" ] && last_written=$written
        sleep 1
    done
    wait
    rm -f "$tmp/audio"
    audio=$(cat "$tmp/audio-bytes") trace=$(cat "$tmp/trace-bytes")
    verdict=ok
    if [ "$audio" -ne "$bytes" ] || [ "$stalls" -gt 0 ] || [ "${max:-0}" -gt $(( ${min:-0} + 1024 )) ]; then
        verdict=FAILED
        status=1
    fi
    printf '%-22s audio %s bytes, trace %s bytes, resident %s-%s KB over %s samples, %s stalls: %s\n' \
        "$name" "$audio" "$trace" "${min:-?}" "$max" "$samples" "$stalls" "$verdict"
done
exit $status
