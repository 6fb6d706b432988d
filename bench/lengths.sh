#!/usr/bin/env bash
# Compares each module's once-through length as openmpt123 renders it with the length of the ROM nibtool
# imports from it (and with libxmp's, as the importer captured it), a row per module, then how many ROMs
# lie within 2%, 3% and 10% of openmpt123's length.
#
#   bench/lengths.sh DIR [RATE]        from the repository's root; BUILD_DIR names the build (build/)
#
# openmpt123's length is that of its render at RATE less the 0.1 s fade it adds at the end (its own
# estimate, `--info`'s Duration, can differ from what it plays: tempo slides, and each tick rounded to
# whole output samples). Two references:
#   song  the song as its tracker plays it from the first order position (openmpt123 --subsong 0);
#   all   openmpt123's default, which also plays every "hidden" song after it: order positions no jump
#         reaches, typically past an end-of-song marker. Trackers never play those from the start.
# The ROM plays the first; rows where they differ show both ratios.
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

# Seconds openmpt123 plays FILE for at RATE (16-bit mono: two bytes a frame), with its options, less the
# 100 ms in which it fades the sound out once the song has ended.
rendered() {
    openmpt123 --batch --quiet --stdout --no-float --channels 1 --filter 1 --samplerate "$rate" "$@" \
        2>/dev/null | wc -c | awk -v r="$rate" '{ s = $1 / 2 / r - 0.1; printf "%.1f", (s > 0 ? s : 0) }'
}

printf '%-34s %9s %9s %9s %9s %7s %7s\n' module song all libxmp rom rom/song rom/all
for file in "$dir"/*; do
    [ -f "$file" ] || continue
    case "${file,,}" in
    *.md | *.txt | *.html | *.pdf | *.png | *.jpg | *.wav | *.raw | *.flac | *.ogg | *.mp3 | *.rom) continue ;;
    esac
    name=${file##*/}
    song=$(rendered --subsong 0 -- "$file")
    subsongs=$(openmpt123 --info "$file" 2>/dev/null | awk -F': ' '/^Subsongs/ { print $2 }')
    all=$song
    [ "${subsongs:-1}" = 1 ] || all=$(rendered -- "$file")
    status=0
    "$nibtool" import "$file" "$work/out.rom" --rate "$rate" 2>"$work/log" || status=$?
    # fidelity: chroma C, onset O, length L (ROM R s, module M s, N channels)
    # (the report is wrapped to 80 columns, a line's continuations indented: joined again first)
    figures=$(awk '/^  / && NR > 1 { sub(/^ +/, ""); line = line " " $0; next } NR > 1 { print line } { line = $0 }
        END { print line }' "$work/log" | grep '^fidelity: chroma ' | tail -n 1 |
        sed -e 's/.*(ROM \([0-9.]*\) s, module \([0-9.]*\) s.*/\1 \2/' || true)
    rom=${figures%% *}
    xmp=${figures##* }
    [ "$status" -eq 0 ] && [ -n "$figures" ] || rom=failed xmp=-
    awk -v n="$name" -v s="$song" -v a="$all" -v x="$xmp" -v r="$rom" 'BEGIN {
        ratio = (s > 0 && r + 0 > 0) ? sprintf("%.3f", r / s) : "-"
        whole = (a > 0 && r + 0 > 0) ? sprintf("%.3f", r / a) : "-"
        printf "%-34s %9s %9s %9s %9s %7s %7s\n", n, s, a, x, r, ratio, whole }'
done | tee "$work/rows"
awk '{
         for (k = 6; k <= 7; ++k) {
             if ($k == "-") continue
             d = $k - 1; if (d < 0) d = -d
             ++n[k]; if (d <= 0.02) ++a[k]; if (d <= 0.03) ++b[k]; if (d <= 0.10) ++c[k]
         }
     }
     END {
         printf "%d songs: %d within 2%%, %d within 3%%, %d within 10%% of openmpt123 (song)\n", n[6], a[6], b[6], c[6]
         printf "%d songs: %d within 2%%, %d within 3%%, %d within 10%% of openmpt123 (all)\n", n[7], a[7], b[7], c[7]
     }' "$work/rows"
