#!/bin/sh
# Each command the tool's --help lists and the manual page agree on its options: the page has
# a SYNOPSIS line for the command, naming the same options with the same arguments as the
# command's --help (none for a command without options), and OPTIONS describes each of them
# with that argument.
# Usage: man_commands_test.sh TUNE-REHEARSE PAGE
set -eu
program=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
# The commands, as the tool's help lists them: "  NAME [WORDS]  what it does".
commands=$("$program" --help | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit }
  on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || { echo "$program --help lists no commands"; exit 1; }
for command in $commands; do
  # "  --name ARG   help..." or "  --flag   help...": the option and its argument.
  "$program" "$command" --help |
    awk '/^  --/ && $1 != "--help" { print $1 ($2 ~ /^[A-Z][A-Z:\/]*$/ ? " " $2 : "") }' |
    sort >"$work/help"
  # The SYNOPSIS line ".B tune-rehearse COMMAND" up to ".br": ".RB [ \-\-name" then
  # ".IR ARG ]", or ".RB [ \-\-flag ]".
  sed -n "/^\.SH SYNOPSIS/,/^\.SH /p" "$page" |
    sed -n "/^\.B tune-rehearse $command\$/,/^\.br/p" | sed 's/\\//g' >"$work/synopsis"
  awk '/^\.RB \[ --/ { name = $3; if ($4 == "]") print name; next }
       name != "" && /^\.IR / { print name " " $2; name = "" }' "$work/synopsis" |
    sort >"$work/page"
  if [ ! -s "$work/synopsis" ]; then
    echo "$page: no SYNOPSIS line for $command"
    status=1
  elif ! cmp -s "$work/help" "$work/page"; then
    echo "$command: --help and the SYNOPSIS of $page differ (<: --help, >: the page):"
    diff "$work/help" "$work/page" | grep '^[<>]' || true
    status=1
  fi
  # OPTIONS writes an option as ".BI \-\-name " ARG"" (or "\fR, \fP\-\-name" " ARG"" in a
  # shared entry), a flag as ".B \-\-name".
  sed -n "/^\.SH OPTIONS/,/^\.SH [A-Z]/p" "$page" | sed 's/\\//g' >"$work/options"
  while read -r name arg; do
    if [ -n "$arg" ]; then
      grep -qF -- "$name\" \" $arg\"" "$work/options" || grep -qF -- ".BI $name \" $arg\"" "$work/options" || {
        echo "$command: $name $arg is not described in OPTIONS of $page"
        status=1
      }
    else
      grep -qxF -- ".B $name" "$work/options" || {
        echo "$command: $name is not described in OPTIONS of $page"
        status=1
      }
    fi
  done <"$work/help"
done
[ $status -ne 0 ] || echo "every command's options, the same in its --help and $page"
exit $status
