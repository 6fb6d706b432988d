#!/usr/bin/env bash
# Time to first sound of `nibtool play`: from the command's start to its first status line, which it
# writes as the song starts on the device (SDL's dummy driver stands in for a sound card: it takes the
# buffers at the device's pace, as a card does). One line per module, then the median and the slowest.
#
#   bench/first_sound.sh [BUILD_DIR] [MODULES_DIR] [RATE]
#       (default: build, ../shared/modules, 8000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
modules=${2:-$root/../shared/modules}
rate=${3:-8000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkfifo "$tmp/err"
for f in "$modules"/*; do
    case "$f" in *.md) continue ;; esac
    start=$(date +%s%N)
    SDL_AUDIODRIVER=dummy "$build/nibtool" play "$f" --rate "$rate" --seconds 60 >/dev/null 2>"$tmp/err" &
    pid=$!
    # The first status line ("0:00.0 order 0 ...") comes when the song starts.
    while IFS= read -r line; do
        [[ $line =~ ^[0-9]+:[0-9]{2}\.[0-9]\ order ]] && break
    done <"$tmp/err"
    end=$(date +%s%N)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "$(( (end - start) / 1000000 )) $(basename "$f")"
done | tee "$tmp/times"
sort -n "$tmp/times" | awk '{ms[NR] = $1; name[NR] = $2}
    END {printf "median %d ms, slowest %d ms (%s), %d modules\n", ms[int((NR + 1) / 2)], ms[NR], name[NR], NR}'
