#!/usr/bin/env bash
# Time of `nibtool import` per module: wall seconds and CPU seconds (user + system), one line per module,
# then the median and the slowest of each, with the machine's load before and after. With OUT_DIR, the
# ROMs and the import's report (NAME.txt) are kept there, to compare two builds' ROMs byte for byte.
#
#   bench/import_time.sh [BUILD_DIR] [MODULES_DIR] [RATE] [OUT_DIR]
#       (default: build, ../shared/modules, 8000, a temporary folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
modules=${2:-$root/../shared/modules}
rate=${3:-8000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
out=${4:-$tmp}
mkdir -p "$out"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for f in "$modules"/*; do
    case "$f" in *.md | *.txt) continue ;; esac
    name=$(basename "$f")
    /usr/bin/time -f '%e %U %S' -o "$tmp/time" "$build/nibtool" import "$f" "$out/$name.rom" --rate "$rate" \
        >/dev/null 2>"$out/$name.txt" || echo "import failed: $name" >&2
    read -r wall user sys <"$tmp/time"
    echo "$wall $user $sys $name" | awk '{printf "%6.2f wall %6.2f cpu  %s\n", $1, $2 + $3, $4}'
done | tee "$tmp/times"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
summary() { # COLUMN WHAT
    sort -n -k"$1" "$tmp/times" | awk -v c="$1" -v what="$2" '{v[NR] = $c; name[NR] = $NF}
        END {printf "%s: median %.2f s, slowest %.2f s (%s), %d modules\n", what, v[int((NR + 1) / 2)],
             v[NR], name[NR], NR}'
}
summary 1 wall
summary 3 cpu
