#!/usr/bin/env bash
# Compares each module's once-through length as openmpt123 plays it with the length of the ROM nibtool
# imports from it (and with libxmp's, as the importer captured it), a row per module, then how many ROMs
# lie within 2%, 3% and 10% of openmpt123's length.
#
#   bench/lengths.sh DIR [RATE]        from the repository's root; BUILD_DIR names the build (build/)
#
# Needs openmpt123 (Debian package openmpt123), a checking tool only.
set -euo pipefail
export LC_ALL=C

if [ $# -lt 1 ] || [ $# -gt 2 ] || [ ! -d "$1" ]; then
    echo "usage: bench/lengths.sh DIR [RATE]   (BUILD_DIR names the build, default build)" >&2
    exit 2
fi
dir=$1
rate=${2:-8000}
nibtool=${BUILD_DIR:-build}/nibtool
command -v openmpt123 >/dev/null || { echo "lengths.sh: needs openmpt123 (apt-get install openmpt123)" >&2; exit 2; }
[ -x "$nibtool" ] || { echo "lengths.sh: no $nibtool: build first" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-34s %9s %9s %9s %7s\n' module openmpt libxmp rom rom/ompt
for file in "$dir"/*; do
    [ -f "$file" ] || continue
    case "${file,,}" in
    *.md | *.txt | *.html | *.pdf | *.png | *.jpg | *.wav | *.raw | *.flac | *.ogg | *.mp3 | *.rom) continue ;;
    esac
    name=${file##*/}
    # Duration...: [h:]mm:ss.sss
    ompt=$(openmpt123 --info "$file" 2>/dev/null | awk -F': ' '/^Duration/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; printf "%.1f", s }')
    status=0
    "$nibtool" import "$file" "$work/out.rom" --rate "$rate" 2>"$work/log" || status=$?
    # fidelity: chroma C, onset O, length L (ROM R s, module M s, N channels)
    figures=$(grep '^fidelity: chroma ' "$work/log" | tail -n 1 | sed -e 's/.*(ROM \([0-9.]*\) s, module \([0-9.]*\) s.*/\1 \2/' || true)
    rom=${figures%% *}
    xmp=${figures##* }
    [ "$status" -eq 0 ] && [ -n "$figures" ] || rom=failed xmp=-
    awk -v n="$name" -v o="${ompt:-0}" -v x="$xmp" -v r="$rom" 'BEGIN {
        ratio = (o > 0 && r + 0 > 0) ? sprintf("%.3f", r / o) : "-"
        printf "%-34s %9s %9s %9s %7s\n", n, o, x, r, ratio }'
done | tee "$work/rows"
awk '$5 != "-" && NR > 0 { d = $5 - 1; if (d < 0) d = -d; ++n; if (d <= 0.02) ++a; if (d <= 0.03) ++b; if (d <= 0.10) ++c }
     END { printf "%d songs: %d within 2%%, %d within 3%%, %d within 10%% of openmpt123\n", n, a, b, c }' "$work/rows"
