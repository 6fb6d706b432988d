#!/bin/sh
# Installs deps/packages with apt, non-interactively; as root, or through sudo for another user.
set -eu
list="$(dirname "$0")/packages"
packages=$(grep -v '^#' "$list" | tr '\n' ' ')
if [ "$(id -u)" = 0 ]; then as_root=""; else as_root="sudo"; fi
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null
