#!/bin/sh
# The docs' examples of tune-rehearse, run as they stand on boards made here: every line of a
# sh block in the given pages that begins with the tool's name, with BOARD and board-17 a
# new board's copy, DIR a tuned board's, farm/ three boards, LIST the farm's list of boards,
# and an optional part in brackets given. Each must end as the tool documents: 0, or 1 for a report with findings.
# Usage: docs_examples_test.sh TUNE-REHEARSE PAGE...
set -eu
tool=$(realpath "$1")
shift
pages=""
for page in "$@"; do pages="$pages $(realpath "$page")"; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$tool" --seed 5 --out r5 >/dev/null 2>&1
mkdir farm
for seed in 6 7 8; do "$tool" --seed $seed --out "farm/board-$seed" >/dev/null 2>&1; done
cp -r r5/before BOARD
cp -r r5/before board-17
cp -r r5 DIR
printf 'board-6\nroot@board-7\nboard-8\nboard-9\n' >LIST  # the farm's list, one board not copied
# The example lines of every sh block, comments dropped, brackets' parts given.
# shellcheck disable=SC2086  # the pages, one word each
awk '/^```sh/ { block = 1; next } block && /^```/ { block = 0 }
     block && /^tune-rehearse/ { sub(/ +#.*/, ""); gsub(/[][]/, ""); print }' $pages >examples
[ -s examples ] || { echo "no examples found in$pages"; exit 1; }
failed=0
while IFS= read -r example; do
  status=0
  # As a shell takes the line, its globs expanded, with the built tool for its name.
  sh -c "\"\$0\"${example#tune-rehearse}" "$tool" >out 2>err </dev/null || status=$?
  echo "status $status: $example"
  if [ $status -gt 1 ]; then
    cat err
    failed=1
  fi
done <examples
exit $failed
