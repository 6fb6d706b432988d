#!/bin/sh
# The installed tree, as a game developer uses it: installed into a prefix of its own, the programs run,
# each manual page renders, the completion offers nibtool's commands, and the example game configures,
# builds and links against the package with find_package; its loop plays what nibtool render says it
# plays, a changed module remakes the bank, and a broken one fails the build with nibtool's one line.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
work=$(mktemp -d /tmp/install-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
tool=$prefix/bin/nibtool

# The programs run.
"$tool" --version | grep -q '^nibtool ' || fail "nibtool --version"
bytes=$("$prefix/bin/nibplay" "$source/examples/demo.rom" x 2>/dev/null | head -c 1000 | wc -c)
[ "$bytes" -eq 1000 ] || fail "nibplay wrote $bytes bytes, not 1000"

# Each page renders within a terminal's 80 columns, and nibtool's holds every command's usage, and each
# command's section says, word for word, what its help says.
for page in nibtool nibplay; do
    file=$prefix/share/man/man1/$page.1
    [ -f "$file" ] || fail "no page $file"
    MANPAGER=cat MANWIDTH=80 man -l "$file" >"$work/$page.txt" 2>"$work/man-errors.txt" || fail "man -l $file"
    [ ! -s "$work/man-errors.txt" ] || fail "man -l $file: $(cat "$work/man-errors.txt")"
    grep -q "^$(echo "$page" | tr a-z A-Z)(1)" "$work/$page.txt" || fail "$page's page has no title"
    wide=$(awk 'length($0) > 80' "$work/$page.txt")
    [ -z "$wide" ] || fail "$page's page runs past 80 columns: $wide"
done
words() { tr -s ' \n' '\n\n' | sed '/^$/d'; }
commands=$("$tool" help | sed -n '/^Commands:$/,/^$/s/^  \([a-z][a-z]*\)\( .*\)\{0,1\}$/\1/p' | tr '\n' ' ')
[ -n "$commands" ] || fail "nibtool help lists no commands"
for command in $commands; do
    [ "$command" = help ] && continue
    usage=$("$tool" help "$command" | head -n 1 | sed 's/^usage: //')
    grep -qF -- "$usage" "$work/nibtool.txt" || fail "nibtool's page lacks: $usage"
    sed -n "/^   $command\$/,/^   [a-z]*\$\|^[A-Z]/p" "$work/nibtool.txt" | sed '1d;$d' | words >"$work/page.words"
    "$tool" help "$command" | words | cmp -s - "$work/page.words" ||
        fail "nibtool's page says other than nibtool help $command"
done

# The completion offers the commands, and a command's options.
offered=$(bash -c '. "$1"; COMP_WORDS=(nibtool ""); COMP_CWORD=1; _nibtool; echo "${COMPREPLY[*]}"' _ \
    "$prefix/share/bash-completion/completions/nibtool")
for command in $commands; do
    case " $offered " in *" $command "*) ;; *) fail "completion lacks $command: $offered" ;; esac
done
options=$(bash -c '. "$1"; COMP_WORDS=(nibtool render --s); COMP_CWORD=2; _nibtool; echo "${COMPREPLY[*]}"' _ \
    "$prefix/share/bash-completion/completions/nibtool")
for option in --seconds --song --sfx; do
    case " $options " in *" $option "*) ;; *) fail "completion of render --s lacks $option: $options" ;; esac
done

# The example game, in a folder of its own (it reads ../demo.rom).
mkdir -p "$work/examples"
cp -r "$source/examples/game" "$work/examples/game"
cp "$source/examples/demo.rom" "$work/examples/demo.rom"
game=$work/game-build
cmake -S "$work/examples/game" -B "$game" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.txt" 2>&1 ||
    fail "the example does not configure: $(cat "$work/configure.txt")"
cmake --build "$game" >"$work/build.txt" 2>&1 || fail "the example does not build: $(cat "$work/build.txt")"
"$game/game" "$game/game.rom" >"$work/game.raw" || fail "the game does not run"
"$tool" render "$game/game.rom" "$work/render.raw" --song 0 --sfx jump@1.5 --seconds 10 -q
cmp -s "$work/game.raw" "$work/render.raw" || fail "the game's loop plays otherwise than nibtool render"

# A module changed on disk remakes the bank; a broken one fails the build with nibtool's one line.
module=$work/examples/game/sounds/clear.mod
sleep 1
touch "$module"
cmake --build "$game" >"$work/rebuild.txt" 2>&1 || fail "the rebuild failed: $(cat "$work/rebuild.txt")"
grep -q "Making the sound bank game.rom" "$work/rebuild.txt" || fail "a changed module did not remake the bank"
head -c 600 "$module" >"$work/cut.mod"
cp "$work/cut.mod" "$module"
if cmake --build "$game" >"$work/broken.txt" 2>&1; then fail "a broken module built"; fi
[ "$(grep -c '^nibtool: ' "$work/broken.txt")" -eq 1 ] || fail "a broken module: $(cat "$work/broken.txt")"
grep -q "^nibtool: '$module' (600 bytes) is not" "$work/broken.txt" || fail "a broken module: $(cat "$work/broken.txt")"
# The guide's loop is the example's.
sed -n '/^<!-- examples\/game\/game.c -->$/,/^```$/p' "$source/docs/target.md" | sed '1,2d;$d' >"$work/guide.c"
cmp -s "$work/guide.c" "$source/examples/game/game.c" || fail "docs/target.md's loop is not examples/game/game.c"
echo "install test: passed"
