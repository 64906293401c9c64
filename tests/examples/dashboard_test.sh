#!/bin/sh
# Every query of examples/grafana/tune-farm.json, run by real Prometheus servers on loopback,
# its variables at All. First a farm with one collector: the metrics the report writes for a
# small farm (loaded as blocks 90 seconds old) and the rack totals of
# examples/prometheus/tune-records.yml backfilled from them; each query must parse and return
# series. Then a global Prometheus over the rack totals two shards' federation gives: each
# farm panel must return series there, each board panel (its description says so) none.
#   dashboard_test.sh DASHBOARD TUNE-REHEARSE
set -eu
dashboard=$1
rehearse=$2
records=$(dirname "$dashboard")/../prometheus/tune-records.yml
work=$(mktemp -d)
pids=
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || :; done; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A farm: two tuned boards, a copy without chip rates taken two hours ago, one that cannot be
# read, one whose hash board is lost (its chain's chip rates gone), and one listed but never
# copied.
"$rehearse" --out "$work/farm/rackA/b1" >/dev/null 2>&1
"$rehearse" --seed 2 --out "$work/farm/rackA/b2" >/dev/null 2>&1
mkdir -p "$work/farm/rackB/b3" "$work/farm/rackB/b4"
cp "$work/farm/rackA/b1/config/config.conf" "$work/farm/rackB/b3/"
echo $(($(date +%s) - 7200)) >"$work/farm/rackB/b3/copied-at"
mkfifo "$work/farm/rackB/b4/chip-rates"  # not a file the report reads: unusable
cp -r "$work/farm/rackA/b1" "$work/farm/rackB/b6"
grep -v '^2:' "$work/farm/rackA/b1/tmp/chip-rates" >"$work/farm/rackB/b6/tmp/chip-rates"
printf 'b1\nb2\nb3\nb4\nb5\nb6\n' >"$work/boards"
status=0
"$rehearse" report --boards "$work/boards" --labels-under "$work/farm" "$work"/farm/*/* \
  --metrics "$work/farm.prom" >/dev/null 2>&1 || status=$?
[ $status -eq 3 ] || fail "report: status $status, not 3 (one board unreadable)"

# The same samples as OpenMetrics, stamped 90 seconds ago, made into blocks. The queries are
# asked a minute later, after the rack totals recorded in between.
at=$(($(date +%s) - 90))
asked=$((at + 60))
awk -v at="$at" '/^#/ { print; next } NF { print $0 " " at }' "$work/farm.prom" >"$work/farm.om"
echo "# EOF" >>"$work/farm.om"
promtool tsdb create-blocks-from openmetrics "$work/farm.om" "$work/shard" >/dev/null ||
  fail "promtool cannot make blocks of the report's metrics"

# serve NAME PORT: a Prometheus over the blocks in $work/NAME, with the configuration NAME.yml;
# its process id in $served.
serve() {
  prometheus --config.file="$work/$1.yml" --storage.tsdb.path="$work/$1" \
    --storage.tsdb.retention.time=10y --web.listen-address="127.0.0.1:$2" >"$work/$1.log" 2>&1 &
  served=$!
  pids="$pids $served"
  tries=0
  until curl -fs "http://127.0.0.1:$2/-/ready" >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "Prometheus did not get ready: $(tail -n 5 "$work/$1.log")"
    kill -0 "$served" 2>/dev/null || fail "Prometheus ended: $(tail -n 5 "$work/$1.log")"
    sleep 0.2
  done
}
# ask PORT PROMQL FILTER: jq's FILTER of the query's result at $asked; a query refused fails.
ask() {
  curl -sG "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" \
    --data-urlencode "time=$asked" |
    jq -er "if .status == \"success\" then .data.result | $3 else empty end" ||
    fail "Prometheus refused: $2"
}
found() { ask "$1" "$2" length; }
value() { ask "$1" "$2" '.[0].value[1] // "none"'; }
same() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a - b <= 1e-9 * b && b - a <= 1e-9 * b) }'; }
# label_values PORT VARIABLE: the values Grafana offers for a query variable, at All the others.
label_values() {
  definition=$(jq -r --arg v "$2" '.templating.list[] | select(.name == $v) | .query' \
    "$dashboard" | sed -f "$work/all")
  match=$(printf '%s' "$definition" | sed -n 's/^label_values(\(.*\), *\([a-z_]*\))$/\1/p')
  label=$(printf '%s' "$definition" | sed -n 's/^label_values(\(.*\), *\([a-z_]*\))$/\2/p')
  [ -n "$label" ] || fail "variable $2: not a label_values query: $definition"
  curl -fsG "http://127.0.0.1:$1/api/v1/label/$label/values" --data-urlencode "match[]=$match" |
    jq -r '.data | join(" ")'
}

port=$((20000 + $$ % 20000))
global=$((port + 1))
printf 'global:\n  scrape_interval: 1h\n  external_labels:\n    shard: "1"\n' >"$work/shard.yml"
serve shard $port
# Recording rules evaluate from their start on: backfill the rack totals over the minute since
# the blocks' samples, and serve them too.
promtool tsdb create-blocks-from rules --url="http://127.0.0.1:$port" --start="$at" \
  --end="$asked" --output-dir="$work/shard" "$records" >"$work/backfill.log" 2>&1 ||
  fail "promtool cannot backfill $records: $(tail -n 3 "$work/backfill.log")"
kill "$served"
wait "$served" || true
serve shard $port

# Grafana's import dialog offers a data source for each of __inputs and puts the one picked
# wherever the dashboard names that input: the panels' data source variable starts at it.
input=$(jq -r '.__inputs[] | select(.type == "datasource" and .pluginId == "prometheus") | .name' \
  "$dashboard")
[ -n "$input" ] || fail "no Prometheus data source among the dashboard's __inputs"
[ "$(jq -r '.templating.list[] | select(.type == "datasource") | .current.value' "$dashboard")" = \
  "\${$input}" ] || fail "the data source variable does not start at \${$input}"

# At All, Grafana puts each query variable's allValue in the queries.
jq -r '.templating.list[] | select(.type == "query") | "s/\\$\(.name)/\(.allValue)/g"' \
  "$dashboard" >"$work/all"
jq -r '.panels[].targets[].expr' "$dashboard" | sed -f "$work/all" >"$work/queries"
[ -s "$work/queries" ] || fail "no query in $dashboard"
# A stat panel's count falls back to 0 where nothing is counted; without the fallback, its
# query must find the recorded series too.
queries=0
while IFS= read -r query; do
  [ "$(found $port "$query")" -gt 0 ] || fail "no series for: $query"
  [ "$query" = "${query% or vector(0)}" ] || [ "$(found $port "${query% or vector(0)}")" -gt 0 ] ||
    fail "no series for: ${query% or vector(0)}"
  queries=$((queries + 1))
done <"$work/queries"
[ "$(label_values $port rack)" = "rackA rackB" ] || fail "racks offered: $(label_values $port rack)"
# What is unknown stays out: the copy without chip rates has no rate series, but a chain.
rates=$(value $port 'count(tune_board_measured_rate)')
[ "$rates" = 3 ] || fail "boards with a rate: $rates, not 3"
# The farm's measured rate, from the rack totals, is the boards' (those whose ideal is known).
farm_query=$(grep -m 1 'rack:tune_board_measured_rate:sum' "$work/queries")
farm=$(value $port "$farm_query")
boards=$(value $port 'sum(tune_board_measured_rate and on (board) tune_board_ideal_rate)')
same "$farm" "$boards" || fail "farm rate $farm, the boards' $boards"

# A global Prometheus federating two shards' rack totals: this one's (its external label
# shard="1") and the same again as shard "2", with the timestamps of the federation.
curl -fsG "http://127.0.0.1:$port/federate" \
  --data-urlencode 'match[]={__name__=~"rack.*:tune_.*"}' >"$work/federated" ||
  fail "no federation from the shard"
awk '/^#/ || !NF { next }
     { stamp = $NF / 1000; sub(/ [^ ]+$/, ""); printf "%s %.3f\n", $0, stamp
       sub(/shard="1"/, "shard=\"2\""); printf "%s %.3f\n", $0, stamp }' \
  "$work/federated" >"$work/global.om"
grep -q 'shard="2"' "$work/global.om" || fail "federated series without shard=\"1\""
echo "# EOF" >>"$work/global.om"
promtool tsdb create-blocks-from openmetrics "$work/global.om" "$work/global" >/dev/null ||
  fail "promtool cannot make blocks of the federated series"
printf 'global:\n  scrape_interval: 1h\n' >"$work/global.yml"
serve global $global
[ "$(label_values $global shard)" = "1 2" ] ||
  fail "shards offered: $(label_values $global shard)"
# Board panels say in their descriptions that they are empty there: the others are the farm's.
jq -r '.panels[] | (if (.description | test("global Prometheus.*empty")) then "board" else "farm"
  end) as $kind | .targets[] | "\($kind) \(.expr)"' "$dashboard" | sed -f "$work/all" >"$work/kinds"
while read -r kind query; do
  series=$(found $global "${query% or vector(0)}")
  case $kind in
    farm) [ "$series" -gt 0 ] || fail "a farm panel, no series on the global: $query" ;;
    *) [ "$series" -eq 0 ] || fail "a board panel, series on the global: $query" ;;
  esac
done <"$work/kinds"
# The farm's rate is both shards'.
both=$(value $global "$farm_query")
same "$(awk -v b="$both" 'BEGIN { printf "%.17g", b / 2 }')" "$farm" ||
  fail "two shards' rate $both, not twice $farm"
echo "dashboard: $queries queries, each answered with series by Prometheus on 127.0.0.1:$port," \
  "the farm's on a global one too"
