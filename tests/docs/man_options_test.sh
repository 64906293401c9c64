#!/bin/sh
# A program's --help and its manual page name the same options: every option --help shows is
# in the page, and every option the page names is in --help.
# Usage: man_options_test.sh PROGRAM MANPAGE
set -eu
program=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u >"$work/help"
# The page writes an option as \-\-name.
grep -o '\\-\\-[a-z][a-z\\-]*' "$page" | sed 's/\\//g' | sort -u >"$work/page"
status=0
only_help=$(comm -23 "$work/help" "$work/page")
only_page=$(comm -13 "$work/help" "$work/page")
if [ -n "$only_help" ]; then
  echo "in --help, not in $page:" $only_help
  status=1
fi
if [ -n "$only_page" ]; then
  echo "in $page, not in --help:" $only_page
  status=1
fi
[ $status -ne 0 ] || echo "$(wc -l <"$work/help") options, the same in --help and $page"
exit $status
