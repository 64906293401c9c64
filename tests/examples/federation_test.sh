#!/bin/sh
# A farm of 1,000 boards split in two shards, as two collectors would report it (report
# --shard K/2), each shard scraped by a Prometheus of its own with the example alerts and
# recording rules, and a global Prometheus federating their rack totals as
# examples/prometheus/global-prometheus.yml does: the global totals are the sum of the
# shards' and of the boards', no board's series reaches it, and a board's alert fires in its
# own shard only.
#   federation_test.sh EXAMPLES-PROMETHEUS-DIR TUNE-REHEARSE
set -eu
examples=$(cd "$1" && pwd)  # the configs name files from their own directory
rehearse=$2
work=$(mktemp -d)
servers=
trap 'for pid in $servers; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# One board's copy as a collector holds it, then eight racks of 125 of it (hard links), one
# of whose copies is two hours old.
"$rehearse" --out "$work/rehearsal" >/dev/null 2>&1
seed=$work/seed/c1
mkdir -p "$seed/config"
cp "$work/rehearsal/config/config.conf" "$work/rehearsal/config/manual_freqs.txt" \
  "$work/rehearsal/config/bmminer.conf" "$seed/config/"
cp "$work/rehearsal/tmp/auto-tune" "$work/rehearsal/tmp/chip-rates" "$seed/"
date +%s >"$seed/copied-at"
for n in $(seq 2 125); do cp -al "$seed" "$work/seed/c$n"; done
mkdir "$work/farm"
for rack in 1 2 3 4 5 6 7 8; do cp -al "$work/seed" "$work/farm/rack$rack"; done
rm "$work/farm/rack3/c7/copied-at"
echo $(($(date +%s) - 7200)) >"$work/farm/rack3/c7/copied-at"

mkdir "$work/served"
for k in 1 2; do
  status=0
  "$rehearse" report --shard $k/2 --labels-under "$work/farm" "$work"/farm/*/* \
    --metrics "$work/served/shard-$k.prom" >/dev/null 2>&1 || status=$?
  [ $status -le 1 ] || fail "the report of shard $k: status $status"
done

# Four free ports from the kernel, in a row of names: the files' server, the two shards'
# Prometheus servers and the global one.
set -- $(python3 -c 'import socket
s = [socket.socket() for _ in range(4)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
files=$1 shard1=$2 shard2=$3 global=$4
python3 -m http.server --bind 127.0.0.1 --directory "$work/served" "$files" >/dev/null 2>&1 &
servers="$servers $!"
start_prometheus() {  # name, port, then the config's text; until it answers as itself
  name=$1 port=$2
  mkdir -p "$work/$name"
  printf '%s\n' "$3" >"$work/$name/prometheus.yml"
  prometheus --config.file="$work/$name/prometheus.yml" --storage.tsdb.path="$work/$name/data" \
    --web.listen-address="127.0.0.1:$port" >"$work/$name/log" 2>&1 &
  pid=$!
  servers="$servers $pid"
  tries=0
  # A server that lost its port to another one ends: what answers there is not it.
  until curl -fs "http://127.0.0.1:$port/-/ready" >/dev/null 2>&1 && kill -0 $pid 2>/dev/null; do
    kill -0 $pid 2>/dev/null || fail "$name ended: $(tail -n 3 "$work/$name/log")"
    tries=$((tries + 1))
    [ $tries -lt 300 ] || fail "$name did not get ready: $(tail -n 3 "$work/$name/log")"
    sleep 0.2
  done
}
same() {  # a total, then the parts it adds up ("none" for a part with no series: 0)
  echo "$2" | awk -v total="$1" '{ for (i = 1; i <= NF; i++) if ($i != "none") sum += $i }
    END { d = total - sum; exit !(total != "none" && d <= 1e-6 * sum && -d <= 1e-6 * sum) }'
}
ask() {  # port, query: the first result's value, or "none"
  curl -fsG "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" |
    jq -r '.data.result[0].value[1] // "none"'
}
# Alerts at once: the example's waits are for a real farm.
sed 's/^\( *\)for: .*/\1for: 0s/' "$examples/tune-alerts.yml" >"$work/tune-alerts.yml"
for k in 1 2; do
  eval port=\$shard$k
  start_prometheus shard-$k $port "global:
  scrape_interval: 1s
  evaluation_interval: 1s
  external_labels: {shard: \"$k\"}
rule_files: [$work/tune-alerts.yml, $examples/tune-records.yml]
scrape_configs:
  - job_name: tune
    metrics_path: /shard-$k.prom
    static_configs: [{targets: [127.0.0.1:$files]}]"
done
# The example global one, its shards these two and its waits a second.
sed -e "s|^\( *\)- shard-1.example:9090|\1- 127.0.0.1:$shard1|" \
  -e "s|^\( *\)- shard-2.example:9090|\1- 127.0.0.1:$shard2|" \
  -e 's/_interval: 1m/_interval: 1s/' -e "s|- tune-records.yml|- $examples/tune-records.yml|" \
  "$examples/global-prometheus.yml" >"$work/global.yml"
start_prometheus global "$global" "$(cat "$work/global.yml")"

# Until the global one's farm total is its boards' (the shards' rules evaluated, their rack
# totals federated, its own rules evaluated over both shards'), then each of its totals is
# the sum of the shards'.
boards=$(cat "$work"/served/*.prom |
  awk '/^tune_board_ideal_rate/ { sum += $2 } END { printf "%.6f\n", sum }')
tries=0
until same "$(ask $global farm:tune_board_ideal_rate:sum 2>/dev/null)" "$boards"; do
  tries=$((tries + 1))
  [ $tries -lt 300 ] || fail "the global Prometheus's ideal rate is not its boards' ($boards): $(tail -n 3 "$work"/*/log)"
  sleep 0.2
done
for total in 'farm:tune_board_measured_rate:sum' 'sum(farm_outcome:tune_boards:count)' \
  'farm:tune_boards_copy_stale:count' 'sum(farm_class:tune_board_chips:sum)'; do
  shards="$(ask "$shard1" "$total") $(ask "$shard2" "$total")"
  in_global=$(ask $global "$total")
  same "$in_global" "$shards" || fail "$total: $in_global in the global Prometheus, $shards in the shards"
done
[ "$(ask $global 'sum(farm_outcome:tune_boards:count)')" = 1000 ] || fail "not 1,000 boards in the global"
[ "$(ask $global 'count({__name__=~"tune_.*"})')" = none ] || fail "boards' own series reached the global"
[ "$(ask $global 'count(count by (shard) (rack:tune_board_ideal_rate:sum))')" = 2 ] ||
  fail "the racks' totals are not told apart by shard"

# The old copy's alert, in its own shard only.
own=$(grep -l '^tune_board_readable{board="rack3/c7"}' "$work"/served/*.prom | sed 's/.*shard-\(.\).prom/\1/')
other=$((3 - own))
eval own_port=\$shard$own other_port=\$shard$other
tries=0
until curl -fs "http://127.0.0.1:$own_port/api/v1/alerts" |
  jq -e '.data.alerts[] | select(.labels.alertname == "TuningBoardCopyStale" and .labels.board == "rack3/c7" and .state == "firing")' >/dev/null; do
  tries=$((tries + 1))
  [ $tries -lt 300 ] || fail "no TuningBoardCopyStale for rack3/c7 in shard $own"
  sleep 0.2
done
curl -fs "http://127.0.0.1:$other_port/api/v1/alerts" |
  jq -e '[.data.alerts[] | select(.labels.alertname == "TuningBoardCopyStale")] | length == 0' >/dev/null ||
  fail "shard $other alerts on a board it does not hold"
echo "federation: 1,000 boards in 2 shards, the global totals the shards' and the boards', rack3/c7's alert in shard $own"
