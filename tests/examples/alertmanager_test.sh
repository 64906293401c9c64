#!/bin/sh
# examples/alertmanager/tune-alertmanager.yml at work, on loopback: a real Alertmanager paging
# a webhook, fed by two shards of a farm, each a collector's node_exporter serving the report
# on its share and a Prometheus of its own (external label shard) that runs
# examples/prometheus/tune-alerts.yml (its for: durations cut to seconds) and
# tune-records.yml, and a global Prometheus configured as global-prometheus.yml. rackA's 300
# stale boards must be one page, every other rack and alert a page of its own from its own
# shard, what another alert explains held back, a collector whose report stopped must hold
# back its own boards' stale pages, not the other's; and the global totals must be the
# shards' added up, without a board's own series.
#   alertmanager_test.sh ALERTMANAGER-YML ALERTS-YML DASHBOARD-JSON TUNE-REHEARSE
set -eu
config=$1
alerts=$2
examples=$(cd "$(dirname "$alerts")" && pwd)  # the records and the global one beside them
dashboard=$3
rehearse=$4
for tool in prometheus-alertmanager prometheus-node-exporter; do
  if ! command -v $tool >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done
started=$(date +%s)
work=$(mktemp -d)
pids=
trap 'for pid in $pids; do kill "$pid" 2>/dev/null; done; wait; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Three tuned boards, and one whose rehearsal has 40 dead chips (red).
for seed in 1 2 3; do "$rehearse" --seed $seed --out "$work/r$seed" >/dev/null 2>&1; done
"$rehearse" --seed 4 --dead 40 --out "$work/r4" >/dev/null 2>&1
# A copy as collect-boards leaves it, taken at AT: rsync keeps the board's times, the logs'
# of a tuning long over and the chip rates' the miner wrote just before.
copy() {  # REHEARSAL DEST AT
  mkdir -p "$2"
  cp -r "$1/config" "$2/"
  cp "$1/tmp/auto-tune" "$1/tmp/chip-rates" "$2/"
  echo "$3" >"$2/copied-at"
  find "$2" -exec touch -d "@$(($3 - 86400))" {} +
  touch -d "@$(($3 - 10))" "$2/chip-rates"
}
farm=$work/farm
now=$(date +%s)
stale=$((now - 7200))
# rackA, 300 boards whose copies stopped two hours ago (the rack lost its network).
for n in 1 2 3; do copy "$work/r$n" "$work/stale$n" $stale; done
mkdir -p "$farm/rackA"
i=1
while [ $i -le 300 ]; do
  board=$(printf 'a%03d' $i)
  cp -a "$work/stale$((i % 3 + 1))" "$farm/rackA/$board"
  echo "$board" >>"$work/list1"
  i=$((i + 1))
done
# rackB: b3 lost its chain 8 (the miner lists none of its chips), b4 is listed, never copied,
# b5's copy cannot be read (a pipe where its chip rates were).
copy "$work/r1" "$farm/rackB/b1" "$now"
copy "$work/r2" "$farm/rackB/b2" "$now"
copy "$work/r3" "$farm/rackB/b3" "$now"
grep -v '^8:' "$work/r3/tmp/chip-rates" >"$farm/rackB/b3/chip-rates"
mkdir "$farm/rackB/b5"
mkfifo "$farm/rackB/b5/chip-rates"
printf 'b1\nb2\nb3\nb4\nb5\n' >>"$work/list1"
# rackC, on a second collector: c2 has the red chips, c3's copy is as stale as rackA's.
copy "$work/r1" "$farm/rackC/c1" "$now"
copy "$work/r4" "$farm/rackC/c2" "$now"
copy "$work/r2" "$farm/rackC/c3" $stale
printf 'c1\nc2\nc3\n' >"$work/list2"

mkdir "$work/text1" "$work/text2"
status=0
"$rehearse" report --boards "$work/list1" --labels-under "$farm" "$farm"/rackA/* "$farm"/rackB/* \
  --metrics "$work/text1/tune.prom" >/dev/null 2>&1 || status=$?
[ $status -eq 3 ] || fail "report on rackA and rackB: status $status, not 3 (b5 unreadable)"
status=0
"$rehearse" report --boards "$work/list2" --labels-under "$farm" "$farm"/rackC/* \
  --metrics "$work/text2/tune.prom" >/dev/null 2>&1 || status=$?
[ $status -eq 1 ] || fail "report on rackC: status $status, not 1 (findings)"

# Free ports from the kernel, all different; a server that still lost its port to someone
# else ends, which ready() sees.
set -- $(python3 -c 'import socket
s = [socket.socket() for _ in range(7)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
hook=$1 am=$2 node1=$3 node2=$4 prom1=$5 prom2=$6 global=$7
ready() {  # NAME PID URL LOG
  tries=0
  until kill -0 "$2" 2>/dev/null && curl -fs "$3" >/dev/null 2>&1 && kill -0 "$2" 2>/dev/null; do
    kill -0 "$2" 2>/dev/null || fail "$1 ended: $(tail -n 5 "$4")"
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "$1 did not get ready: $(tail -n 5 "$4")"
    sleep 0.2
  done
}

# The receiver: each page's JSON, a line each.
python3 - "$hook" "$work/pages" >"$work/hook.log" 2>&1 <<'PY' &
import http.server, sys
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        with open(sys.argv[2], "ab") as pages:
            pages.write(body.strip() + b"\n")
        self.send_response(200)
        self.end_headers()
    def do_GET(self):
        self.send_response(200)
        self.end_headers()
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Hook).serve_forever()
PY
pids="$pids $!"
ready receiver $! "http://127.0.0.1:$hook/" "$work/hook.log"

# The example as it stands, its receiver pointed here and a group's first page sent after
# 4 s: Alertmanager sends a group at once when an alert comes later than that after it fired,
# and Prometheus sends 300 alerts 64 at a time, which a busy machine spreads out.
amtool check-config "$config" >"$work/amtool.log" 2>&1 || fail "amtool: $(cat "$work/amtool.log")"
sed -e "s|^\( *- url:\).*|\1 http://127.0.0.1:$hook/|" -e 's/^\( *group_wait:\).*/\1 4s/' \
  "$config" >"$work/alertmanager.yml"
prometheus-alertmanager --config.file="$work/alertmanager.yml" --storage.path="$work/am" \
  --web.listen-address="127.0.0.1:$am" --cluster.listen-address= >"$work/am.log" 2>&1 &
pids="$pids $!"
ready Alertmanager $! "http://127.0.0.1:$am/-/ready" "$work/am.log"

for n in 1 2; do
  eval port=\$node$n
  prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/text$n" >"$work/node$n.log" 2>&1 &
  pids="$pids $!"
  ready "node_exporter $n" $! "http://127.0.0.1:$port/metrics" "$work/node$n.log"
done

# The rules with every for: a six-hundredth as long (30m: 3 s, 1h: 6 s), so that each alert
# still comes after those that fire sooner in the farm; but TuningReportMissing's: absent()
# holds for the seconds Prometheus takes to find its targets.
awk '$2 == "alert:" { name = $3 }
$1 == "for:" && name != "TuningReportMissing" {
  n = $2 + 0
  s = $2 ~ /h$/ ? n * 3600 : $2 ~ /m$/ ? n * 60 : n
  sub(/for: .*/, "for: " s / 600 "s")
} { print }' "$alerts" >"$work/alerts.yml"
grep -q 'for: 3s' "$work/alerts.yml" || fail "no for: 30m in $alerts to shorten"
for n in 1 2; do
  eval port=\$prom$n node=\$node$n
  mkdir "$work/shard$n"
  cat >"$work/shard$n/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
  external_labels: {shard: "$n"}
rule_files: [$work/alerts.yml, $examples/tune-records.yml]
alerting:
  alertmanagers:
    - static_configs:
        - targets: ['127.0.0.1:$am']
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ['127.0.0.1:$node']
    relabel_configs:  # each shard's node_exporter the same instance, as localhost:9100 is
      - {target_label: instance, replacement: 'localhost:9100'}
EOF
  prometheus --config.file="$work/shard$n/prometheus.yml" --storage.tsdb.path="$work/shard$n/data" \
    --web.listen-address="127.0.0.1:$port" >"$work/shard$n/log" 2>&1 &
  pids="$pids $!"
  ready "Prometheus of shard $n" $! "http://127.0.0.1:$port/-/ready" "$work/shard$n/log"
done
# The example global one, its shards these two and its waits a second.
mkdir "$work/global"
sed -e "s|^\( *\)- shard-1.example:9090|\1- 127.0.0.1:$prom1|" \
  -e "s|^\( *\)- shard-2.example:9090|\1- 127.0.0.1:$prom2|" \
  -e 's/_interval: 1m/_interval: 1s/' -e "s|- tune-records.yml|- $examples/tune-records.yml|" \
  "$examples/global-prometheus.yml" >"$work/global/prometheus.yml"
prometheus --config.file="$work/global/prometheus.yml" --storage.tsdb.path="$work/global/data" \
  --web.listen-address="127.0.0.1:$global" >"$work/global/log" 2>&1 &
pids="$pids $!"
ready "the global Prometheus" $! "http://127.0.0.1:$global/-/ready" "$work/global/log"

# Each page a line: the shard its alerts fired in, its group's rack (- for none) and alert,
# how many alerts, and their boards when few.
pages() {
  [ -s "$work/pages" ] || return 0
  jq -r 'select(.status == "firing") | [.commonLabels.shard // "-", .groupLabels.rack // "-",
    .groupLabels.alertname,
    (.alerts | length), (if (.alerts | length) < 5 then (.alerts | map(.labels.board) | sort
    | join(",")) else empty end)] | join(" ") | rtrimstr(" ")' "$work/pages" | sort
}
# The alerts Alertmanager holds that match FILTER, a line each: board and state.
held() {
  curl -fsG "http://127.0.0.1:$am/api/v2/alerts" --data-urlencode "filter=$1" |
    jq -r '.[] | "\(.labels.board // "-") \(.status.state)"' | sort
}
wait_for() {  # WHAT COMMAND...: until COMMAND succeeds, within 2 minutes
  what=$1
  shift
  deadline=$(($(date +%s) + 120))
  until "$@"; do
    [ "$(date +%s)" -lt $deadline ] || fail "no $what within 2 minutes; pages so far:
$(pages)
held, by state: $(held 'alertname=~"Tuning.*"' | awk '{ print $2 }' | sort | uniq -c | xargs)
Alertmanager: $(tail -n 3 "$work/am.log")
receiver: $(tail -n 3 "$work/hook.log")"
    sleep 0.2
  done
}

# What explains another: the stale copies their findings, the lost hash board its finding
# and its rate. Alertmanager holds all of these as held back.
explained() {
  [ "$(held 'alertname=~"TuningCopyHasFindings|TuningRateBelowIdeal"' |
    grep -c ' suppressed$')" -eq 303 ]
}
wait_for "303 explained alerts held back" explained
six_pages() { [ "$(pages | wc -l)" -ge 6 ]; }
wait_for "6 pages" six_pages

# Then the first collector's report stops (its file two hours old): its boards' stale copies
# are held back, the second collector's c3 is not.
touch -d "@$stale" "$work/text1/tune.prom"
not_refreshed() { pages | grep -q '^1 - TuningReportNotRefreshed 1'; }
wait_for "page of the report not refreshed" not_refreshed
rackA_held() {
  [ "$(held 'alertname="TuningBoardCopyStale"' | grep -c '^rackA/.* suppressed$')" -eq 300 ]
}
wait_for "rackA's stale copies held back by the report not refreshed" rackA_held
[ "$(held 'alertname="TuningBoardCopyStale"' | grep -v '^rackA/')" = "rackC/c3 active" ] ||
  fail "the second collector's stale copy: $(held 'alertname="TuningBoardCopyStale"' | grep -v '^rackA/')"

# That last page came a group_wait after the explained alerts were held: had any of them
# been paged, it would be here by now.
pages >"$work/got"
cat >"$work/want" <<'EOF'
1 - TuningBoardNotCopied 1 b4
1 - TuningReportNotRefreshed 1
1 rackA TuningBoardCopyStale 300
1 rackB TuningBoardCopyUnreadable 1 rackB/b5
1 rackB TuningHashBoardLost 1 rackB/b3
2 rackC TuningBoardCopyStale 1 rackC/c3
2 rackC TuningManyRedChips 1 rackC/c2
EOF
diff "$work/want" "$work/got" >"$work/diff" || fail "pages, not as grouped and held back:
$(cat "$work/diff")"

# Every board's alert paged says where it is, what it is and what to do, with the example
# dashboard (its uid) on its rack.
uid=$(jq -r .uid "$dashboard")
jq -r --arg uid "$uid" '.alerts[] | .labels as $l | .annotations as $a | select($l.board)
  | select(($l.rack // "") != ($l.board | sub("/?[^/]*$"; ""))
    or ($a.summary // "") == "" or ($a.description // "") == ""
    or (($a.dashboard // "") | endswith("/d/\($uid)?var-rack=\($l.rack // "" | @uri)") | not))
  | "\($l.alertname) \($l.board): rack \($l.rack), annotations \($a | keys)"' "$work/pages" \
  >"$work/unfit"
[ ! -s "$work/unfit" ] || fail "alerts without their rack, summary, description or dashboard:
$(head -n 5 "$work/unfit")"

# The global Prometheus: once its farm's ideal rate is the two shards', each of its farm
# totals is theirs added up, and no board's own series has reached it.
ask() {  # PORT QUERY: the first result's value, or "none"
  curl -fsG "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" |
    jq -r '.data.result[0].value[1] // "none"'
}
added_up() {  # QUERY: the global's value is the shards' sum
  ask "$global" "$1" >"$work/total" 2>/dev/null || return 1
  { ask "$prom1" "$1"; ask "$prom2" "$1"; } | awk -v total="$(cat "$work/total")" '
    $1 != "none" { sum += $1 }
    END { d = total - sum; exit !(total != "none" && d * d <= 1e-12 * sum * sum) }'
}
wait_for "the shards' ideal rate in the global Prometheus" added_up farm:tune_board_ideal_rate:sum
for total in farm:tune_board_measured_rate:sum 'sum(farm_outcome:tune_boards:count)' \
  farm:tune_boards_copy_stale:count 'sum(farm_class:tune_board_chips:sum)'; do
  added_up "$total" || fail "$total: $(cat "$work/total") in the global Prometheus, not the shards' sum"
done
[ "$(ask "$global" 'sum(farm_outcome:tune_boards:count)')" = 306 ] &&
  [ "$(ask "$global" 'count(count by (shard) (rack:tune_board_ideal_rate:sum))')" = 2 ] &&
  [ "$(ask "$global" 'count({__name__=~"tune_.*"})')" = none ] ||
  fail "the global Prometheus: not 306 boards of 2 shards, or boards' own series"

# The example dashboard, its variables at All. On a shard's Prometheus, whose series carry
# no shard label (a farm with one collector, as far as the dashboard can tell), every query
# returns series, a stat panel's also without its fallback to 0, and the farm's rate from the
# rack totals is its boards'. On the global one the farm panels return series and the board
# panels (their descriptions say so) none, and the variables offer both shards and every rack.
input=$(jq -r '.__inputs[] | select(.type == "datasource" and .pluginId == "prometheus") | .name' \
  "$dashboard")
[ -n "$input" ] && [ "$(jq -r '.templating.list[] | select(.type == "datasource") | .current.value' \
  "$dashboard")" = "\${$input}" ] || fail "the data source variable does not start at an input's"
jq -r '.templating.list[] | select(.type == "query") | "s/\\$\(.name)/\(.allValue)/g"' \
  "$dashboard" >"$work/all"
jq -r '.panels[] | (if (.description // "" | test("global Prometheus.*empty")) then "board"
  else "farm" end) as $kind | .targets[] | "\($kind) \(.expr)"' "$dashboard" | sed -f "$work/all" \
  >"$work/queries"
found() { curl -fsG "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" | jq '.data.result | length'; }
while read -r kind query; do
  [ "$(found "$prom1" "$query")" -gt 0 ] && [ "$(found "$prom1" "${query% or vector(0)}")" -gt 0 ] ||
    fail "no series on a shard for: $query"
  series=$(found "$global" "${query% or vector(0)}")
  case $kind$series in board0 | farm[1-9]*) ;; *) fail "a $kind panel, $series series on the global: $query" ;; esac
done <"$work/queries"
farm_rate=$(grep -m 1 'rack:tune_board_measured_rate:sum' "$work/queries" | cut -d' ' -f2-)
ask "$prom1" 'sum(tune_board_measured_rate and on (board) tune_board_ideal_rate)' |
  awk -v farm="$(ask "$prom1" "$farm_rate")" '{ d = farm - $1; exit !(d * d <= 1e-12 * $1 * $1) }' ||
  fail "the farm's rate is not its boards': $farm_rate"
offered() {  # VARIABLE: the values Grafana offers, from its label_values(MATCH, LABEL)
  sed -n 's/^label_values(\(.*\), *\([a-z_]*\))$/\1 \2/p' <<EOF | sed -f "$work/all" | {
$(jq -r --arg v "$1" '.templating.list[] | select(.name == $v) | .query' "$dashboard")
EOF
    read -r match label
    curl -fsG "http://127.0.0.1:$global/api/v1/label/$label/values" --data-urlencode "match[]=$match" |
      jq -r '.data | join(" ")'
  }
}
[ "$(offered shard)" = "1 2" ] && [ "$(offered rack)" = "rackA rackB rackC" ] ||
  fail "the variables offer shards $(offered shard), racks $(offered rack)"

echo "alertmanager: $(wc -l <"$work/got") pages for $(awk '{ n += $4 } END { print n }' "$work/got")" \
  "alerts (rackA's 300 in one), 303 held back, the global totals the shards', every" \
  "dashboard query answered on a shard and the global Prometheus, in" \
  "$(($(date +%s) - started)) s"
