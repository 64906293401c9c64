#!/bin/sh
# examples/collect-boards against boards on this machine: two reached by their paths, three
# "hosts" behind a stand-in ssh that runs rsync's other end here (one whole, one whose
# connection drops halfway, one that never answers, one whose host key changed), each run of
# it as cron would make it.
#   collect_boards_test.sh COLLECT-BOARDS TUNE-REHEARSE
set -eu
collect=$1
rehearse=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
boards=$work/boards
out=$work/copies

"$rehearse" --out "$boards/b1" >/dev/null 2>&1
"$rehearse" --seed 2 --out "$boards/b2" >/dev/null 2>&1
for host in whole half stuck rekeyed; do cp -r "$boards/b1" "$boards/$host"; done
# The stand-in ssh: HOST's files are $boards/HOST; the command's absolute paths are taken
# inside it.
cat >"$work/ssh" <<SSH
#!/bin/sh
while [ \$# -gt 0 ]; do case \$1 in -l) shift 2 ;; -*) shift ;; *) break ;; esac; done
host=\${1#*@}
shift
cd "$boards/\$host" || exit 255
case \$host in stuck) exec sleep 600 ;; esac
if [ \$host = rekeyed ]; then
  # What ssh says of a board whose host key changed, and nothing else.
  printf '%s\n' '@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@' \
    '@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @' \
    '@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@' \
    'IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!' \
    'Host key for rekeyed has changed and you have requested strict checking.' \
    'Host key verification failed.' >&2
  exit 255
fi
command=
for word in "\$@"; do
  case \$word in /*) word=.\$word ;; esac
  command="\$command '\$word'"
done
case \$host in
half)
  # The line drops after 3000 bytes: head alone holds it, and ends.
  mkfifo "$work/line.\$\$"
  (eval "exec \$command" >"$work/line.\$\$") &
  exec head -c 3000 <"$work/line.\$\$"
  ;;
*) eval "exec \$command" ;;
esac
SSH
chmod +x "$work/ssh"

# Earlier copies of the two that will fail: they must stay as they are.
for host in half stuck; do
  mkdir -p "$out/$host"
  echo "an earlier copy" >"$out/$host/copied-at"
done

started=$(date +%s)
status=0
"$collect" -j 4 -t 3 -e "$work/ssh" "$out" "$boards/b1" "$boards/b2/" whole half stuck \
  rekeyed 2>"$work/errors" || status=$?
took=$(($(date +%s) - started))
[ $status -eq 1 ] || fail "status $status, not 1: $(cat "$work/errors")"
grep -q '^collect-boards: half: rsync failed (status [0-9]*): .*; the last copy stays$' \
  "$work/errors" || fail "the board that failed halfway is not named: $(cat "$work/errors")"
grep -q '^collect-boards: stuck: no copy within 3 seconds; the last copy stays$' \
  "$work/errors" || fail "the board that hangs is not named: $(cat "$work/errors")"
grep -q '^collect-boards: rekeyed: rsync failed (status [0-9]*): Host key verification failed.; the last copy stays$' \
  "$work/errors" || fail "the board whose host key changed: $(cat "$work/errors")"
[ "$(wc -l <"$work/errors")" -eq 3 ] || fail "more than the three failures said: $(cat "$work/errors")"
[ $took -lt 15 ] || fail "took $took s: the timeout did not end the board that hangs"
for host in half stuck; do
  [ "$(cat "$out/$host/copied-at")" = "an earlier copy" ] || fail "$host's last copy was replaced"
done
for board in b1 b2 whole; do
  for file in copied-at config/config.conf chip-rates auto-tune; do
    [ -f "$out/$board/$file" ] || fail "$board's copy lacks $file"
  done
  cmp -s "$boards/$board/config/config.conf" "$out/$board/config/config.conf" ||
    [ $board = whole ] || fail "$board's config.conf differs from the board's"
  stamp=$(cat "$out/$board/copied-at")
  [ "$stamp" -ge "$started" ] && [ "$stamp" -le "$(date +%s)" ] || fail "$board's stamp: $stamp"
done
leftovers=$(find "$out" -maxdepth 1 -name '.*' ! -name . | head -n 1)
[ -z "$leftovers" ] || fail "left beside the copies: $leftovers"

# The report reads the copies: their age from the stamp, the failed ones still there; the
# same boards' list with one more that was never copied names it, in the metrics too.
printf '%s\n' "$boards/b1" "$boards/b2/" whole half root@stuck admin@never >"$work/farm-list"
"$rehearse" report --boards "$work/farm-list" --labels-under "$out" "$out"/* \
  --metrics "$work/farm.prom" >"$work/report" || [ $? -eq 1 ] || fail "the report on the copies failed"
for board in b1 b2 whole; do
  grep -q "^tune_board_copy_timestamp_seconds{board=\"$board\"} $(cat "$out/$board/copied-at")\$" \
    "$work/farm.prom" || fail "no copy time for $board in the metrics"
done
grep -q "^never: not copied: listed in $work/farm-list" "$work/report" &&
  grep -q '(0 unusable, 1 not copied,' "$work/report" || fail "the board never copied: $(cat "$work/report")"
[ "$(grep -c '^tune_board_listed{board="[a-z0-9]*"} 1$' "$work/farm.prom")" -eq 6 ] &&
  ! grep -q 'tune_board_readable{board="never"}' "$work/farm.prom" ||
  fail "the listed boards' series: $(grep listed "$work/farm.prom")"

# A list written on Windows, with blanks and comments; a board on this machine that has no
# /tmp files yet: each copied with what it has.
mkdir -p "$boards/fresh"
cp -r "$boards/b1/config" "$boards/fresh/"
printf '  %s \r\n\r\n# a rack\r\n%s\r\n' "$boards/b1" "$boards/fresh" >"$work/list"
"$collect" -f "$work/list" "$work/more" 2>"$work/errors" || fail "the list: $(cat "$work/errors")"
[ -f "$work/more/b1/chip-rates" ] && [ -f "$work/more/fresh/config/config.conf" ] &&
  [ ! -e "$work/more/fresh/chip-rates" ] || fail "the list's boards were not copied as they are"

# A farm split among three collectors: each board copied by one of them, and the report of
# each shard over all the copies takes just that collector's, with the list's boards.
for n in $(seq 1 30) böard ünit-7; do
  cp -al "$boards/b1" "$boards/h$n"
  echo "h$n"
done | LC_ALL=C sort >"$work/farm-list"
for k in 1 2 3; do
  "$collect" --shard $k/3 -e "$work/ssh" -f "$work/farm-list" "$work/shards/$k" 2>"$work/errors" ||
    fail "shard $k: $(cat "$work/errors")"
  ls "$work/shards/$k"
done | LC_ALL=C sort | cmp -s - "$work/farm-list" || fail "not each board in one shard: $(ls "$work"/shards/*)"
for k in 1 2 3; do
  "$rehearse" report --shard $k/3 --boards "$work/farm-list" --labels-under "$work/shards" \
    "$work"/shards/*/* --metrics "$work/shard.prom" >"$work/report" || fail "shard $k's report"
  sed -n 's/^tune_board_listed{board="\(.*\)"} 1$/\1/p' "$work/shard.prom" | LC_ALL=C sort \
    >"$work/reported"
  ls "$work/shards/$k" | sed "s|^|$k/|" | LC_ALL=C sort | cmp -s - "$work/reported" ||
    fail "shard $k reports $(cat "$work/reported")"
done

# A DIR that cannot be made: one line, status 1.
status=0
"$collect" "$work/list/copies" "$boards/b1" 2>"$work/errors" || status=$?
[ $status -eq 1 ] && [ "$(wc -l <"$work/errors")" -eq 1 ] ||
  fail "an unmakeable DIR: status $status: $(cat "$work/errors")"

# Bad usage: one line, status 2, nothing copied.
for args in "" "-j 0 $out b1" "-t x $out b1" "$out $boards/b1 $work/other/b1" "$out .hidden" \
  "$out root@" "$out -j" "-j" "--shard 4/3 $out b1" "--shard=1/x $out b1" "-s 0/2 $out b1" "--shard= $out b1" \
  "--shard /2 $out b1" "$out b1 --shard 1/2"; do
  status=0
  # shellcheck disable=SC2086
  "$collect" $args 2>"$work/errors" || status=$?
  [ $status -eq 2 ] || fail "\"$args\": status $status, not 2"
  [ "$(wc -l <"$work/errors")" -eq 1 ] || fail "\"$args\": $(cat "$work/errors")"
done
echo "collect-boards: 6 boards, 3 copied, 1 failed halfway, 1 stuck and 1 of a changed host key kept their last copies ($took s)"
