#!/bin/sh
# Installs the packages of deps/packages with apt, non-interactively, and those of the further lists named:
#   sh deps/install.sh [page] [checks]
# page: deps/packages-page, what the page's build needs; checks: deps/packages-checks, what CI's sanitizer
# and fuzzer builds and the benchmarks need. As root, or through sudo for a user who has it. The package
# lists are fetched first, so it works on a machine that has none yet.
set -eu
deps=$(dirname "$0")
lists="$deps/packages"
for name in "$@"; do
    case "$name" in
    page | checks) lists="$lists $deps/packages-$name" ;;
    *) echo "deps/install.sh: no package list '$name' (page, checks)" >&2; exit 2 ;;
    esac
done
# shellcheck disable=SC2086
packages=$(grep -hv '^#' $lists | tr '\n' ' ')
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
