#!/bin/sh
# Every query of examples/grafana/tune-farm.json, run by a real Prometheus on loopback over
# metrics the report writes for a small farm (loaded as blocks five minutes old): each must
# parse and return series.
#   dashboard_test.sh DASHBOARD TUNE-REHEARSE
set -eu
dashboard=$1
rehearse=$2
work=$(mktemp -d)
prometheus=
trap '[ -z "$prometheus" ] || kill "$prometheus" 2>/dev/null; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A farm: two tuned boards, one copy without chip rates, one that cannot be read.
"$rehearse" --out "$work/farm/rackA/b1" >/dev/null 2>&1
"$rehearse" --seed 2 --out "$work/farm/rackA/b2" >/dev/null 2>&1
mkdir -p "$work/farm/rackB/b3" "$work/farm/rackB/b4"
cp "$work/farm/rackA/b1/config/config.conf" "$work/farm/rackB/b3/"
date +%s >"$work/farm/rackB/b3/copied-at"
mkfifo "$work/farm/rackB/b4/chip-rates"  # not a file the report reads: unusable
status=0
"$rehearse" report --labels-under "$work/farm" "$work"/farm/*/* --metrics "$work/farm.prom" \
  >/dev/null 2>&1 || status=$?
[ $status -eq 3 ] || fail "report: status $status, not 3 (one board unreadable)"

# The same samples as OpenMetrics, stamped five minutes ago, made into blocks.
at=$(($(date +%s) - 300))
awk -v at="$at" '/^#/ { print; next } NF { print $0 " " at }' "$work/farm.prom" >"$work/farm.om"
echo "# EOF" >>"$work/farm.om"
promtool tsdb create-blocks-from openmetrics "$work/farm.om" "$work/data" >/dev/null ||
  fail "promtool cannot make blocks of the report's metrics"

port=$((20000 + $$ % 20000))
printf 'global:\n  scrape_interval: 1h\n' >"$work/prometheus.yml"
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
  --storage.tsdb.retention.time=10y --web.listen-address="127.0.0.1:$port" \
  >"$work/prometheus.log" 2>&1 &
prometheus=$!
tries=0
until curl -fs "http://127.0.0.1:$port/-/ready" >/dev/null 2>&1; do
  tries=$((tries + 1))
  [ $tries -lt 100 ] || fail "Prometheus did not get ready: $(tail -n 5 "$work/prometheus.log")"
  kill -0 "$prometheus" 2>/dev/null || fail "Prometheus ended: $(tail -n 5 "$work/prometheus.log")"
  sleep 0.2
done

# Grafana's import dialog offers a data source for each of __inputs and puts the one picked
# wherever the dashboard names that input: the panels' data source variable starts at it.
input=$(jq -r '.__inputs[] | select(.type == "datasource" and .pluginId == "prometheus") | .name' \
  "$dashboard")
[ -n "$input" ] || fail "no Prometheus data source among the dashboard's __inputs"
[ "$(jq -r '.templating.list[] | select(.type == "datasource") | .current.value' "$dashboard")" = \
  "\${$input}" ] || fail "the data source variable does not start at \${$input}"

queries=0
jq -r '.panels[].targets[].expr' "$dashboard" >"$work/queries"
[ -s "$work/queries" ] || fail "no query in $dashboard"
while IFS= read -r query; do
  answer=$(curl -fsG "http://127.0.0.1:$port/api/v1/query" --data-urlencode "query=$query" \
    --data-urlencode "time=$at") || fail "Prometheus refused: $query"
  [ "$(printf '%s' "$answer" | jq -r '.status')" = success ] || fail "$query: $answer"
  series=$(printf '%s' "$answer" | jq '.data.result | length')
  [ "$series" -gt 0 ] || fail "no series for: $query"
  queries=$((queries + 1))
done <"$work/queries"
# What is unknown stays out: the copy without chip rates has no rate series, but a chain.
rates=$(curl -fsG "http://127.0.0.1:$port/api/v1/query" \
  --data-urlencode 'query=count(tune_board_measured_rate)' --data-urlencode "time=$at" |
  jq -r '.data.result[0].value[1]')
[ "$rates" = 2 ] || fail "boards with a rate: $rates, not 2"
echo "dashboard: $queries queries, each answered with series by Prometheus on 127.0.0.1:$port"
