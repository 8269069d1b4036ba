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

# The same keys in the README's table and as the tags of KEYS (a note in
# brackets and the window's close request are not keys).
readme_keys=$(awk '/^## Keys/ {on = 1; next} /^## / {on = 0} on && /^\| [^K-]/' "$source/README.md" |
  cut -d'|' -f2 | sed 's/ *([^)]*)//; s/^ *//; s/ *$//; /^closing/d; s/, /\n/g' | sort)
page_keys=$(awk '/^\.SH/ {on = ($0 == ".SH KEYS")} on && tag {print} {tag = /^\.TP/}' "$page" |
  sed 's/^\.B //; s/\\f[RPBI]//g; s/, /\n/g' | sort)
[ -n "$readme_keys" ] && [ "$readme_keys" = "$page_keys" ] ||
  fail "keys differ: README $(echo $readme_keys), manual page $(echo $page_keys)"

[ "$failures" -eq 0 ] || exit 1
echo "lumoxrun.1: $(echo "$tags" | wc -l) messages, $(echo "$options" | wc -l) options and" \
  "$(echo "$readme_keys" | wc -l) keys present"
