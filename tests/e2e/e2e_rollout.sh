#!/bin/bash
# Staged rollouts end to end, with the real programs and a real Prometheus scraping the update
# server's metrics. Runs itself in a private network namespace, with the sandbox of
# scripts/sandbox.sh and the updater run quietly (-q) under Xvfb, the driver closing the summary.
#
#   healthy  core 1.1 staged at 20 %: the updater at position 5000 keeps core 1.0 (and gets the
#            unstaged plug-in), the one at position 100 installs core 1.1
#   older    as healthy, with core 1.0.5 published unstaged: the updater at position 5000
#            installs 1.0.5, the newest version outside the rollout
#   broken   the plug-in emoticons 1.0 staged at 50 % cannot be installed (a directory stands in
#            the way of one of its files), halt-minimum 3: three runs inside the share roll back
#            and report, the server halts the release, the next run inside the share is not
#            offered it; Prometheus shows the halt and the counts
#
# usage: e2e_rollout.sh WORK_DIR   (programs from VORN_BUILD_DIR, or named one by one)
set -euo pipefail

work=${1:?usage: e2e_rollout.sh WORK_DIR}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/sandbox.sh
source "$here/../../scripts/sandbox.sh"
# shellcheck source=checks.sh
source "$here/checks.sh"
: "${VORN_DRIVER_LIBRARY:=$VORN_BUILD_DIR/tests/driver/libvorn_uidriver.so}"

sandbox_require_nginx
for tool in prometheus curl; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (sh scripts/install-dependencies.sh)"
        exit 77
    fi
done
sandbox_enter_netns bash "$0" "$@"

case "$work" in
/*) ;;
*) work=$PWD/$work ;;
esac
rm -rf "$work"
mkdir -p "$work"
# These runs are about the reports: they go out.
unset VORN_NO_REPORTS
metrics=127.0.0.1:9464
prometheus_address=127.0.0.1:9090
prometheus_pid=""

stop_prometheus() {
    [ -n "$prometheus_pid" ] && sandbox_stop "$prometheus_pid"
    prometheus_pid=""
}

trap 'stop_prometheus; sandbox_stop_servers; sandbox_stop_display' EXIT
sandbox_start_display

# stage COMPONENT ATTRIBUTES: adds ATTRIBUTES to the component's catalogue entry.
stage() {
    sed -i "s|<component project=\"vorn\" name=\"$1\" |&$2 |" "$SANDBOX/catalogue.xml"
    grep -q "name=\"$1\" $2" "$SANDBOX/catalogue.xml" || sandbox_fail "could not stage $1"
}

# run_at POSITION NAME BOXES: a quiet run of the updater with that rollout position.
run_at() {
    local position=$1 name=$2 boxes=$3 state=$SANDBOX_RUN/state/vorn-updater status
    mkdir -p "$state"
    chmod 0700 "$state"
    answers_before=$(grep -c answered "$SANDBOX_RUN/update-server.log" || true)
    (umask 077 && echo "$position" >"$state/rollout-position")
    set +e
    LD_PRELOAD=$VORN_DRIVER_LIBRARY VORN_DRIVER_LOG=$work/$name.driver.log \
        VORN_DRIVER_CLICKS=Updater_Summary_Restart VORN_DRIVER_BOXES=$boxes \
        QT_QPA_PLATFORM=xcb SANDBOX_TIMEOUT=60 sandbox_run_updater -q >"$work/$name.output" 2>&1
    status=$?
    set -e
    check "$name: exit code $status, 0 expected" [ "$status" -eq 0 ]
}

# The server's answer to the last run holds PATTERN (an extended regular expression). The server
# writes its log a few times a second: the run may have ended before its answer was written.
answered() {
    sandbox_wait_for 5 answer_logged || return 1
    grep answered "$SANDBOX_RUN/update-server.log" | tail -n1 | grep -Eq "$1"
}

answer_logged() {
    [ "$(grep -c answered "$SANDBOX_RUN/update-server.log")" -gt "$answers_before" ]
}

same() { cmp -s "$1" "$2"; }

start_prometheus() {
    cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: vorn-update-server
    static_configs:
      - targets: ['$metrics']
EOF
    prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prometheus" \
        --web.listen-address=$prometheus_address 2>"$work/prometheus.log" &
    prometheus_pid=$!
    if ! sandbox_wait_for 30 curl -sf --max-time 2 "http://$prometheus_address/-/ready" \
        -o /dev/null; then
        cat "$work/prometheus.log" >&2
        sandbox_fail "prometheus did not start"
    fi
}

# The value of Prometheus's instant QUERY (one series), empty when there is none. A query that
# hangs counts as none, so that the wait for a value stays bounded.
query() {
    curl -sf --max-time 5 --get --data-urlencode "query=$1" \
        "http://$prometheus_address/api/v1/query" |
        python3 -c 'import json, sys
result = json.load(sys.stdin)["data"]["result"]
print(result[0]["value"][1] if len(result) == 1 else "")'
}

# Waits (30 s at most, Prometheus scrapes every second) until QUERY gives VALUE.
expect_query() {
    local what=$1 expression=$2 value=$3 seen=""
    for _ in $(seq 60); do
        seen=$(query "$expression" || true)
        [ "$seen" = "$value" ] && break
        sleep 0.5
    done
    check "$what: $expression = $value (got '$seen')" [ "$seen" = "$value" ]
}

echo "== healthy: core 1.1 staged at 20 %"
sandbox_create "$work/healthy" en
stage core 'rollout="20%"'
# shellcheck disable=SC2034 # sandbox_start_servers reads it
SANDBOX_SERVER_OPTIONS=(--metrics "$metrics")
sandbox_start_servers
run_at 5000 outside ""
check "outside: core not offered" answered 'vorn/core/app 1.0: latest \(rollout: outside\)'
check "outside: core 1.0 kept" \
    grep -qx "vorn core library 1.0" "$SANDBOX_ROOT/lib/libvorn-core.so.1"
check "outside: the unstaged plug-in installed" \
    same "$SANDBOX/new/emoticons/emoticons/theme.xml" "$SANDBOX_PLUGINS/emoticons/theme.xml"
run_at 100 inside ""
check "inside: core 1.1 offered" answered 'vorn/core/app 1.0: update 1.1 \(rollout: inside\)'
check "inside: core 1.1 installed" \
    same "$SANDBOX/new/core/lib/libvorn-core.so.1" "$SANDBOX_ROOT/lib/libvorn-core.so.1"
sandbox_stop_servers

echo "== older: core 1.0.5 unstaged, 1.1 staged at 20 %"
sandbox_create "$work/older" en
stage core 'rollout="20%"'
sandbox_write "$SANDBOX/new/core-1.0.5/lib/libvorn-core.so.1" "vorn core library 1.0.5"
signing=(--unsigned)
[ -f "$VORN_SIGNING_KEY" ] && signing=(--sign "$VORN_SIGNING_KEY")
entry=$("$VORN_PACKAGE_BUILDER" "$SANDBOX/new/core-1.0.5" --project vorn --name core --type app \
    --version 1.0.5 --link http://127.0.0.1/core-1.0.5.zip --output "$SANDBOX_WWW/core-1.0.5.zip" \
    --timestamp 1700000000 "${signing[@]}")
printf '%s\n</catalogue>\n' "$entry" >"$work/older-entry.xml"
sed -i -e '/<\/catalogue>/{r '"$work/older-entry.xml" -e 'd;}' "$SANDBOX/catalogue.xml"
sandbox_start_servers
run_at 5000 older ""
check "older: core 1.0.5 offered outside the share" \
    answered 'vorn/core/app 1.0: update 1.0.5 \(rollout: outside\)'
check "older: core 1.0.5 installed" \
    grep -qx "vorn core library 1.0.5" "$SANDBOX_ROOT/lib/libvorn-core.so.1"
sandbox_stop_servers

echo "== broken: emoticons 1.0 staged at 50 %, halted after 3 failed installations"
sandbox_create "$work/broken" en blocked
stage emoticons 'rollout="50%" halt-failures="5%" halt-minimum="3"'
sandbox_start_servers
start_prometheus
for position in 100 2000 4000; do
    # The package's own box, then Abort: the whole run rolls back.
    run_at "$position" "failed-$position" Ok,Abort
    check "failed-$position: emoticons 1.0 offered" \
        answered 'vorn/emoticons/plugin 0.9: update 1.0 \(rollout: inside\)'
    check "failed-$position: core rolled back" \
        grep -qx "vorn core library 1.0" "$SANDBOX_ROOT/lib/libvorn-core.so.1"
done
halt="halted vorn/emoticons/plugin 1.0: 3 failures among 3 reports"
check "the server halted the release after three reports" \
    sandbox_wait_for 10 grep -q "$halt" "$SANDBOX_RUN/update-server.log"
run_at 300 halted ""
check "halted: emoticons not offered inside the share" \
    answered 'vorn/emoticons/plugin 0.9: latest \(rollout: halted\)'
check "halted: core installed" \
    same "$SANDBOX/new/core/lib/libvorn-core.so.1" "$SANDBOX_ROOT/lib/libvorn-core.so.1"
expect_query "Prometheus: halted" \
    'vorn_update_server_rollout_halted{component="emoticons",version="1.0"}' 1
expect_query "Prometheus: share 0 while halted" \
    'vorn_update_server_rollout_share{component="emoticons",version="1.0"}' 0
expect_query "Prometheus: the failures" \
    'vorn_update_server_reports_total{component="emoticons",version="1.0",outcome="rolled-back"}' 3
expect_query "Prometheus: no success" 'sum(vorn_update_server_reports_total{component="emoticons",
    outcome="installed"}) or vector(0)' 0

[ "$failures" -eq 0 ] || sed 's/^/  server: /' "$SANDBOX_RUN/update-server.log"
checks_done "$work"
