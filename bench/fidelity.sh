#!/usr/bin/env bash
# Imports every module in a folder with nibtool and prints its fidelity figures (chroma, onset, length
# ratio: see import/fidelity.h) and how long the import took, a row per module, then the medians of
# chroma and onset for songs of four channels or fewer, for songs of more, and for all, and the slowest
# import.
#
#   bench/fidelity.sh DIR [RATE]        from the repository's root; BUILD_DIR names the build (build/)
#
# The figures compare the ROM with libxmp's render of the module (the importer's own measure). With
# REFERENCE=openmpt123 they compare it with openmpt123's render instead (mono, 32-bit float, played once,
# through build/bench/compare_render): a second player's view, the one judges of the importer use.
#
# Every file in DIR is tried except documents, images, audio and ROMs; one that does not import is shown
# with the reason and left out of the medians.
set -euo pipefail
export LC_ALL=C

if [ $# -lt 1 ] || [ $# -gt 2 ] || [ ! -d "$1" ]; then
    echo "usage: bench/fidelity.sh DIR [RATE]   (BUILD_DIR names the build, default build)" >&2
    exit 2
fi
dir=$1
rate=${2:-8000}
nibtool=${BUILD_DIR:-build}/nibtool
compare=${BUILD_DIR:-build}/bench/compare_render
reference=${REFERENCE:-libxmp}
if [ ! -x "$nibtool" ] || { [ "$reference" = openmpt123 ] && [ ! -x "$compare" ]; }; then
    echo "fidelity.sh: no $nibtool or $compare: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 2
fi
case "$reference" in
libxmp) ;;
openmpt123) command -v openmpt123 >/dev/null || { echo "fidelity.sh: openmpt123 is not installed" >&2; exit 2; } ;;
*) echo "fidelity.sh: REFERENCE is libxmp or openmpt123" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One tab-separated row per module: name, channels, chroma, onset, length ratio, seconds, problem.
for file in "$dir"/*; do
    [ -f "$file" ] || continue
    case "${file,,}" in
    *.md | *.txt | *.html | *.pdf | *.png | *.jpg | *.wav | *.raw | *.flac | *.ogg | *.mp3 | *.rom) continue ;;
    esac
    start=$EPOCHREALTIME
    status=0
    "$nibtool" import "$file" "$work/out.rom" --rate "$rate" 2>"$work/log" || status=$?
    seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
    name=${file##*/}
    # The report is wrapped to 80 columns, a line's continuations indented: joined again first.
    figures=$(awk '/^  / && NR > 1 { sub(/^ +/, ""); line = line " " $0; next } NR > 1 { print line } { line = $0 }
        END { print line }' "$work/log" | grep '^fidelity: chroma ' | tail -n 1 || true)
    if [ "$status" -eq 0 ] && [ -n "$figures" ] && [ "$reference" = openmpt123 ]; then
        # The same line, its figures measured against openmpt123's render.
        if openmpt123 --batch --quiet --stdout --float --channels 1 --samplerate "$rate" "$file" \
            >"$work/ref.f32" 2>/dev/null && other=$("$compare" "$work/ref.f32" "$work/out.rom" "$rate"); then
            figures=$(echo "$figures" | awk -v o="$other" '{
                split(o, f, " ")
                sub(/chroma [^,]*, onset [^,]*, length [^ ]*/,
                    sprintf("chroma %s, onset %s, length %s", f[2], f[4], f[6]))
                print
            }')
        else
            status=1
            echo "openmpt123 could not render it" >>"$work/log"
        fi
    fi
    if [ "$status" -eq 0 ] && [ -n "$figures" ]; then
        # fidelity: chroma C, onset O, length L (ROM R s, module M s, N channels)
        echo "$figures" | awk -v name="$name" -v seconds="$seconds" -F'[ ,()]+' '{
            for (i = 2; i < NF; ++i) v[$i] = $(i + 1)
            for (i = 2; i <= NF; ++i) if ($i == "channels") v["channels"] = $(i - 1)
            printf "%s\t%s\t%s\t%s\t%s\t%s\t\n", name, v["channels"], v["chroma"], v["onset"], v["length"], seconds
        }'
    else
        problem=$(tail -n 1 "$work/log" | sed -e "s/^nibtool: cannot import '[^']*': //" -e 's/\t/ /g')
        [ "$status" -eq 0 ] && problem="imported, not measured: ${problem#fidelity: }"
        printf '%s\t?\t\t\t\t%s\t%s\n' "$name" "$seconds" "${problem:-failed}"
    fi
done >"$work/rows"

awk -F'\t' -v rate="$rate" -v reference="$reference" '
function median(list, n,    i, j, v, a) {
    if (n == 0) return "-"
    split(list, a, " ")
    for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; --j) { v = a[j]; a[j] = a[j - 1]; a[j - 1] = v }
    return sprintf("%.3f", n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2)
}
function add(group) { chroma[group] = chroma[group] " " $3; onset[group] = onset[group] " " $4; ++count[group] }
BEGIN {
    printf "Fidelity at %d Hz against %s\n\n%-36s %4s %7s %7s %7s %8s\n", rate, reference, "module", "ch", "chroma", "onset", "length", "import"
}
{
    ++modules
    if ($6 + 0 > slowest) { slowest = $6 + 0; slowestName = $1 }
    if ($7 != "") {
        printf "%-36s %4s  %s (%.2f s)\n", $1, $2, $7, $6
        ++failed
        next
    }
    printf "%-36s %4s %7.2f %7.2f %7.2f %6.2f s\n", $1, $2, $3, $4, $5, $6
    add($2 <= 4 ? "four" : "more")
    add("all")
}
END {
    printf "\n%-36s %5s %7s %7s\n", "medians", "songs", "chroma", "onset"
    split("four more all", groups, " ")
    names["four"] = "4 channels or fewer"; names["more"] = "more than 4 channels"; names["all"] = "all"
    for (g = 1; g <= 3; ++g)
        printf "%-36s %5d %7s %7s\n", names[groups[g]], count[groups[g]] + 0,
            median(chroma[groups[g]], count[groups[g]] + 0), median(onset[groups[g]], count[groups[g]] + 0)
    printf "\n%d module(s), %d not measured", modules + 0, failed + 0
    if (modules > 0) printf "; slowest import: %s, %.2f s", slowestName, slowest
    printf "\n"
}' "$work/rows"
