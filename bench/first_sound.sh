#!/usr/bin/env bash
# Time to first sound of `nibtool play`, where a listener hears it: through a sound server. The bench runs
# a PulseAudio server of its own with one null sink (RATE Hz, two channels) and records the sink with
# parec. As each command starts, a marker is played into the same sink from the server's sample cache:
# 50 ms at full level on the left channel alone, while the song sounds on both. In the recording, the time
# from the marker's start to the song's first sound on the right channel, less the silence the song itself
# begins with (from `nibtool render`), is the time to first sound. (The marker's way is one request to the
# server; the sink's latency is the same for both.) One line per module (ms, name), then the median and
# the slowest.
#
#   bench/first_sound.sh [BUILD_DIR] [MODULES_DIR] [RATE]
#       (default: build, ../shared/modules, 8000)
#
# FIRST_SOUND_DRIVER=dummy times instead, as before, the command's start to its first status line under
# SDL's dummy driver, which takes the buffers at a device's pace but plays nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
modules=${2:-$root/../shared/modules}
rate=${3:-8000}
tool=$build/nibtool
tmp=$(mktemp -d)
pids=()
cleanup() { # the clients before the server
    for ((i = ${#pids[@]} - 1; i >= 0; --i)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

summary() {
    sort -n "$tmp/times" | awk '{ms[NR] = $1; name[NR] = $2}
        END {printf "median %d ms, slowest %d ms (%s), %d modules\n", ms[int((NR + 1) / 2)], ms[NR], name[NR], NR}'
}

# The first status line ("0:00.0 order 0 ...") comes as the song starts on the dummy device.
dummy() {
    mkfifo "$tmp/err"
    for f in "$modules"/*; do
        case "$f" in *.md) continue ;; esac
        start=$(date +%s%N)
        SDL_AUDIODRIVER=dummy "$tool" play "$f" --rate "$rate" --seconds 60 >/dev/null 2>"$tmp/err" &
        pid=$!
        while IFS= read -r line; do
            [[ $line =~ ^[0-9]+:[0-9]{2}\.[0-9]\ order ]] && break
        done <"$tmp/err"
        end=$(date +%s%N)
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        echo "$(((end - start) / 1000000)) $(basename "$f")"
    done | tee "$tmp/times"
    summary
}

if [ "${FIRST_SOUND_DRIVER:-}" = dummy ]; then
    dummy
    exit
fi

# The server, reached only through its own socket.
mkdir -m 700 "$tmp/run"
cat >"$tmp/server.pa" <<EOF
load-module module-native-protocol-unix socket=$tmp/native auth-anonymous=1
load-module module-null-sink sink_name=bench rate=$rate channels=2 format=u8
set-default-sink bench
EOF
export XDG_RUNTIME_DIR=$tmp/run HOME=$tmp PULSE_SERVER=unix:$tmp/native
pulseaudio -n -F "$tmp/server.pa" --daemonize=no --exit-idle-time=-1 --log-target=file:"$tmp/server.log" \
    2>/dev/null &
pids+=($!)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break || sleep 0.05; done
pactl info >/dev/null || { echo "first_sound.sh: the PulseAudio server did not start" >&2; exit 1; }

# The marker, in the server's sample cache: the server mixes it in the moment it is asked to, with no
# client stream to set up or fill first. 50 ms at full level on the left channel, silence on the right.
for _ in $(seq $((rate / 20))); do printf '\377\200'; done >"$tmp/marker.raw"
sox -t raw -r "$rate" -e unsigned -b 8 -c 2 "$tmp/marker.raw" "$tmp/marker.wav"
pactl upload-sample "$tmp/marker.wav" marker

# The index (from 1) of the first byte of a stream of unsigned bytes that is not silence. The first note's
# start, not its level: the quick first import may set the samples' levels otherwise than the whole one.
firstSound() { od -An -v -tu1 -w1 | awk '$1 != 128 {print NR; exit}'; }

for f in "$modules"/*; do
    case "$f" in *.md) continue ;; esac
    name=$(basename "$f")
    lead=$("$tool" render "$f" - --rate "$rate" --seconds 30 -q 2>/dev/null | firstSound || true)
    if [ -z "$lead" ]; then
        echo "first_sound.sh: $name is silent for its first 30 s; passed over" >&2
        continue
    fi
    : >"$tmp/rec.raw"
    parec -d bench.monitor --raw --format=u8 --rate="$rate" --channels=2 --latency-msec=10 >"$tmp/rec.raw" &
    rec=$!
    for _ in $(seq 500); do [ "$(stat -c %s "$tmp/rec.raw")" -ge $((rate / 5)) ] && break || sleep 0.01; done
    pactl play-sample marker bench
    SDL_AUDIODRIVER=pulseaudio timeout 120 "$tool" play "$f" --rate "$rate" \
        --seconds "$(((lead / rate) + 2))" -q 2>/dev/null || true
    sleep 0.2
    kill -INT "$rec"
    wait "$rec" 2>/dev/null || true
    od -An -v -tu1 -w2 "$tmp/rec.raw" | awk -v rate="$rate" -v lead="$lead" -v name="$name" '
        {d = $1 - $2; s = $2 - 128}
        mark == 0 && (d >= 64 || d <= -64) {mark = NR}
        mark > 0 && s != 0 {printf "%d %s\n", ((NR - mark) - (lead - 1)) * 1000 / rate, name; found = 1; exit}
        END {if (!found) printf "first_sound.sh: %s: no marker or no sound in the recording\n", name > "/dev/stderr"}' || true
done | tee "$tmp/times"
summary
