#!/bin/sh
# The README's examples of tune-rehearse, run as they stand on boards made here: each line of
# the block after "## The four programs", with BOARD a new board's copy and farm/ three
# boards. Each must end as the tool documents: 0, or 1 for a report with findings.
# Usage: readme_examples_test.sh README TUNE-REHEARSE
set -eu
readme=$(realpath "$1")
tool=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$tool" --seed 5 --out r5 >/dev/null 2>&1
mkdir farm
for seed in 6 7 8; do "$tool" --seed $seed --out "farm/board-$seed" >/dev/null 2>&1; done
cp -r r5/before BOARD
# The example lines: the first ```sh block after the heading, comments dropped.
awk '/^## The four programs/ { on = 1 } on && /^```sh/ { block = 1; next }
     block && /^```/ { exit } block { sub(/ +#.*/, ""); print }' "$readme" >examples
[ -s examples ] || { echo "no examples found in $readme"; exit 1; }
failed=0
while IFS= read -r example; do
  case $example in
  tune-rehearse*) ;;
  *) echo "not a tune-rehearse line: $example"; failed=1; continue ;;
  esac
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
