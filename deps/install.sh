#!/bin/sh
# Installs every package in deps/packages with apt, non-interactively: as root, or through sudo for a user
# who has it. The package lists are fetched first, so it works on a machine that has none yet.
set -eu
list="$(dirname "$0")/packages"
packages=$(grep -v '^#' "$list" | tr '\n' ' ')
if [ "$(id -u)" = 0 ]; then
    as_root=""
elif command -v sudo >/dev/null; then
    as_root="sudo"
else
    echo "deps/install.sh: run it as root, or as a user with sudo" >&2
    exit 1
fi
echo "deps/install.sh: installing $(echo $packages | wc -w) packages and what they need; this takes a few minutes"
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null
