#!/usr/bin/env bash
# The manual page in the tree: it formats without a warning, and it keeps up
# with the program: every message of the README's table and every option of
# the usage screen and of the README's command line appears in it.
# Usage: manpage_test.sh SOURCE_DIR LUMOXRUN
set -euo pipefail
source=$1 lumoxrun=$2
page=$source/lumoxrun.1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

warnings=$(groff -man -Tascii -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"

# One very long line per paragraph: no wrapping or hyphenation splits a tag.
text=$(groff -man -Tascii -P-cbou -rLL=2000n "$page" 2>/dev/null)
flat=$(printf '%s\n' "$text" | tr -s ' \n' '  ')

# `tag` spans in the first column of the README's message table.
tags=$(awk '/^## Messages/ {on = 1; next} /^## / {on = 0} on && /^\| `/' "$source/README.md" |
  cut -d'|' -f2 | grep -o '`[^`]*`' | tr -d '`' || true)
[ -n "$tags" ] || fail "no messages found in the README's table"
while IFS= read -r tag; do
  [[ "$flat" == *"$tag"* ]] || fail "message '$tag' is missing"
done <<<"$tags"

section() { # the rendered text from one heading to the next
  printf '%s\n' "$text" | awk -v name="$1" '/^[A-Z]/ {on = ($0 == name); next} on'
}
options_section=$(section OPTIONS)
usage=$(SDL_VIDEODRIVER=dummy "$lumoxrun" -h)
readme_options=$(awk '/^## Command line/ {on = 1; next} /^## / {on = 0} on' "$source/README.md" |
  grep -E '^ +-' | awk '{print $1}' || true)
options=$( (grep -E '^ +-' <<<"$usage" | awk '{print $1}' || true; echo "$readme_options") |
  sort -u)
[ -n "$options" ] || fail "no options found in the usage screen"
while IFS= read -r option; do
  grep -qE -- "^ +${option}( |$)" <<<"$options_section" ||
    fail "option '$option' is not described under OPTIONS"
done <<<"$options"

# The keys: the README's table and the tags under KEYS name the same ones.
# A cell or tag may name several, "f, Alt+Enter"; a note in brackets and the
# window's close request (prose in the page) are not keys.
readme_keys=$(awk '/^## Keys/ {on = 1; next} /^## / {on = 0} on && /^\| [^K-]/' "$source/README.md" |
  cut -d'|' -f2 | sed 's/ *([^)]*)//; s/^ *//; s/ *$//' | grep -v '^closing' | sed 's/, /\n/g' |
  sort -u || true)
# The page's tags are the source lines after each .TP of its KEYS section.
page_keys=$(awk '/^\.SH/ {on = ($0 == ".SH KEYS"); next} on && tag {print; tag = 0}
  on && /^\.TP/ {tag = 1}' "$page" | sed 's/^\.B //; s/\\f[RPBI]//g; s/, /\n/g' | sort -u || true)
[ -n "$readme_keys" ] || fail "no keys found in the README's table"
[ "$readme_keys" = "$page_keys" ] ||
  fail "keys differ: README $(echo $readme_keys), manual page $(echo $page_keys)"

[ "$failures" -eq 0 ] || exit 1
echo "lumoxrun.1: $(echo "$tags" | wc -l) messages, $(echo "$options" | wc -l) options and" \
  "$(echo "$readme_keys" | wc -l) keys present"
