#!/usr/bin/env bash
# Measures nibplay on the two benchmark songs: instructions per output byte (callgrind, as the slope
# between two output lengths so that start-up cancels out), throughput into a pipe beside the pipe's
# own, and peak resident memory.
#
#   bench/measure.sh [BUILD_DIR]     (default: build; needs valgrind and GNU time)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target nibplay make_bench_roms >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bench/make_bench_roms" "$tmp"

short=1000000 long=5000000 # bytes for the instruction slope
pipe_bytes=500000000       # bytes for the throughput

instructions() { # ROM BYTES
    valgrind --tool=callgrind --callgrind-out-file="$tmp/callgrind" "$build/nibplay" "$1" x 2>/dev/null |
        head -c "$2" >/dev/null
    awk '/^totals:/ {print $2}' "$tmp/callgrind"
}

seconds() { # COMMAND...: wall time of a pipeline, in seconds
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    echo "$start $end" | awk '{printf "%.3f", $2 - $1}'
}

to_head() { "$build/nibplay" "$1" x 2>/dev/null | head -c "$pipe_bytes" >/dev/null; }
zero_to_cat() { head -c "$pipe_bytes" /dev/zero | cat >/dev/null; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
pipe=$(seconds zero_to_cat)
printf 'pipe alone (head -c %d /dev/zero | cat): %s s, %.0f MB/s\n' "$pipe_bytes" "$pipe" \
    "$(echo "$pipe_bytes $pipe" | awk '{print $1 / $2 / 1e6}')"
for song in note-every-cell note-every-call; do
    rom="$tmp/$song.rom"
    a=$(instructions "$rom" "$short")
    b=$(instructions "$rom" "$long")
    per_byte=$(echo "$a $b $short $long" | awk '{printf "%.1f", ($2 - $1) / ($4 - $3)}')
    t=$(seconds to_head "$rom")
    { /usr/bin/time -f '%M' -o "$tmp/rss" "$build/nibplay" "$rom" x 2>/dev/null || true; } | head -c 100000000 >/dev/null
    rss=$(tail -n 1 "$tmp/rss")
    printf '%s: %s instructions per byte; %.0f MB/s into a pipe; peak memory %s KB\n' "$song" "$per_byte" \
        "$(echo "$pipe_bytes $t" | awk '{print $1 / $2 / 1e6}')" "$rss"
done
