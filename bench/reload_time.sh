#!/usr/bin/env bash
# Time from saving a file that `nibtool play --watch` follows to the new version playing: the module is
# played for AT seconds (AT status lines, one a second), then written again over itself (a save), and
# the time to the
# "reloaded" line is taken (the line is written as the first version of the save takes over at a line).
# SDL's dummy driver stands in for a sound card. One line per module, then the median and the slowest.
#
#   bench/reload_time.sh [BUILD_DIR] [MODULES_DIR] [AT] [RATE]
#       (default: build, ../shared/modules, 20, 8000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
modules=${2:-$root/../shared/modules}
at=${3:-20}
rate=${4:-8000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkfifo "$tmp/err"
for f in "$modules"/*; do
    case "$f" in *.md) continue ;; esac
    copy="$tmp/$(basename "$f")"
    cp "$f" "$copy"
    SDL_AUDIODRIVER=dummy "$build/nibtool" play --watch "$copy" --rate "$rate" >/dev/null 2>"$tmp/err" &
    pid=$!
    saved=0 ms=- seconds=0
    # Status lines start with the song's clock ("0:20.0 order ..."), once a second.
    while IFS= read -r line; do
        if ((saved == 0)) && [[ $line =~ ^[0-9]+:[0-9]{2}\.[0-9]\ order ]]; then
            if ((++seconds >= at)); then
                saved=$(date +%s%N)
                cat "$f" >"$copy"
            fi
        elif ((saved != 0)) && [[ $line == *" reloaded "* ]]; then
            ms=$((($(date +%s%N) - saved) / 1000000))
            break
        fi
    done <"$tmp/err"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "$ms $(basename "$f")"
done | tee "$tmp/times"
grep -v '^-' "$tmp/times" | sort -n | awk '{ms[NR] = $1; name[NR] = $2}
    END {printf "median %d ms, slowest %d ms (%s), %d reloads\n", ms[int((NR + 1) / 2)], ms[NR], name[NR], NR}'
grep '^-' "$tmp/times" | sed 's/^- /no reload line (song shorter than AT?): /' || true
