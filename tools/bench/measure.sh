#!/bin/sh
# The measurements of run.sh, inside a private network namespace with loopback up. Every
# figure is the median of BENCH_RUNS runs of ours and of the peer's, alternating which goes
# first, with `sync` before each. Our figure is the operation itself, timed inside its driver;
# the peer's is its whole command.
set -eu

repo="$BENCH_REPO"
bin="$BENCH_BIN"
scratch="$BENCH_SCRATCH"
runs="$BENCH_RUNS"
tree="$BENCH_TREE"
work="$scratch/work"
results="$scratch/results"
servers="$scratch/servers"
rm -rf "$work" "$results" "$servers"
mkdir -p "$work" "$results" "$servers/nginx-temp" "$servers/www"

nginx_pid=""
server_pid=""
hog_pids=""
generator_share=""
cleanup() {
    # shellcheck disable=SC2086
    [ -n "$hog_pids" ] && kill $hog_pids 2>/dev/null || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    [ -n "$generator_share" ] && rmdir "$generator_share" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

fail() {
    echo "measure.sh: $*" >&2
    exit 1
}

now() {
    date +%s.%N
}

since() {
    awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.4f\n", end - start }'
}

# The value of KEY in the key=value lines of FILE.
field() {
    sed -n "s/^$1=//p" "$2"
}

wanted() {
    case "$BENCH_ONLY" in *",$1,"*) return 0 ;; *) return 1 ;; esac
}

median() {
    sort -g "$1" | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# run_pair NAME: calls ours_NAME and peer_NAME BENCH_RUNS times each, alternating the order;
# each prints one figure, collected in $results/NAME.ours and .peer.
run_pair() {
    : >"$results/$1.ours"
    : >"$results/$1.peer"
    i=1
    while [ "$i" -le "$runs" ]; do
        if [ $((i % 2)) -eq 1 ]; then order="ours peer"; else order="peer ours"; fi
        for side in $order; do
            "prepare_$1" "$side"
            sync
            "${side}_$1" >>"$results/$1.$side"
        done
        i=$((i + 1))
    done
}

# answers URL FAILURE: waits up to 5 s for URL to answer, else fails with FAILURE.
answers() {
    tries=0
    until curl -s -o /dev/null "$1"; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || fail "$2"
        sleep 0.05
    done
}

# --- Servers ------------------------------------------------------------------------------

cat >"$servers/nginx.conf" <<EOF
user root;
daemon off;
master_process off;
worker_processes 1;
pid $servers/nginx.pid;
error_log $servers/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $servers/nginx-temp/body;
    proxy_temp_path $servers/nginx-temp/proxy;
    fastcgi_temp_path $servers/nginx-temp/fastcgi;
    uwsgi_temp_path $servers/nginx-temp/uwsgi;
    scgi_temp_path $servers/nginx-temp/scgi;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:80;
        root $servers/www;
    }
}
EOF
nginx_binary=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx_binary" -e "$servers/nginx-error.log" -p "$servers" -c "$servers/nginx.conf" &
nginx_pid=$!
echo ready >"$servers/www/ready"
answers http://127.0.0.1/ready "nginx did not start; see $servers/nginx-error.log"

# The entry that vorn-package-builder prints for a package: its digest and size included, so
# the engine verifies the download as it would a published one.
write_catalogue() {
    host=${3:-127.0.0.1}
    cat >"$servers/catalogue.xml" <<EOF
<catalogue>
  <component project="vorn" name="core" type="app">
    <version>2.0</version>
    <description>Vorn core</description>
    <changelog>Faster start-up and a smaller download.</changelog>
    <link>http://$host/core.zip</link>
$(if [ "$2" = digest ]; then
        printf '    <sha256>%s</sha256>\n    <size>%s</size>' "$(cat "$scratch/data/blob-$1.sha256")" "$1"
    fi)
  </component>
</catalogue>
EOF
}

start_update_server() {
    : >"$servers/update-server.log"
    "$repo/build-bench/tools/updateserver/vorn-update-server" \
        --catalogue "$servers/catalogue.xml" --reply-key "$repo/build-bench/reply.key" \
        2>"$servers/update-server.log" &
    server_pid=$!
    tries=0
    until grep -q "listening" "$servers/update-server.log"; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || fail "the update server did not start"
        sleep 0.05
    done
}

stop_update_server() {
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}

# --- 1. Download --------------------------------------------------------------------------

prepare_download() {
    rm -rf "$work/download-ours" "$work/download-curl"
    mkdir -p "$work/download-ours" "$work/download-curl"
}
ours_download() {
    TMPDIR="$work/download-ours" "$bin/vorn-bench-download" "$download_size" \
        >"$work/download.out" || fail "the engine's download failed"
    field seconds "$work/download.out"
    field vmhwm_kib "$work/download.out" >>"$results/download-$variant.vmhwm"
}
peer_download() {
    start=$(now)
    curl -s -o "$work/download-curl/core.zip" http://127.0.0.1/core.zip
    since "$start"
    [ "$(stat -c %s "$work/download-curl/core.zip")" = "$download_size" ] \
        || fail "curl fetched a file of the wrong size"
}

# cut_link BYTES: the relay on 127.0.0.3:80, dropping each connection after BYTES.
cut_link() {
    rm -f "$work/relayed"
    "$bin/vorn-bench-cutter" 127.0.0.3 80 "$1" "$work/relayed" &
    cutter_pid=$!
    answers http://127.0.0.3/ready "the relay did not start"
}
end_cut_link() {
    kill "$cutter_pid"
    wait "$cutter_pid" 2>/dev/null || true
}
prepare_dropping() {
    prepare_download
}
ours_dropping() {
    cut_link $((download_size / 10))
    TMPDIR="$work/download-ours" "$bin/vorn-bench-download" "$download_size" \
        >"$work/download.out" || fail "the engine's download over a dropping link failed"
    end_cut_link
    cat "$work/relayed" >>"$results/download-dropping.bytes"
    field seconds "$work/download.out"
}
peer_dropping() {
    cut_link $((download_size * 2))
    TMPDIR="$work/download-ours" "$bin/vorn-bench-download" "$download_size" \
        >"$work/download.out" || fail "the engine's download over the relay failed"
    end_cut_link
    field seconds "$work/download.out"
}

# start_hog N: N busy loops on every core. The downloads run beside four, as a parallel build
# sharing the machine would be: our threads get a fifth of a core, and buffers between them grow
# if anything is unbounded (one loop per core showed nothing). The update server runs beside
# one, since four leave nginx itself unable to answer.
start_hog() {
    for _ in $(seq $(($(nproc) * $1))); do
        sh -c 'while :; do :; done' &
        hog_pids="$hog_pids $!"
    done
}
stop_hog() {
    # shellcheck disable=SC2086
    kill $hog_pids
    wait $hog_pids 2>/dev/null || true
    hog_pids=""
}

# start_neighbour: another program at work on the machine, as a build or a package upgrade
# would be. It writes to the disk that the downloads go to and syncs what it wrote, keeps every
# core busy and holds memory: busy loops alone never showed the buffers that a slow disk fills.
# Stopped by PID with stop_neighbour; stress-ng ends its workers and removes its files.
start_neighbour() {
    mkdir -p "$work/neighbour"
    stress-ng --quiet --temp-path "$work/neighbour" --hdd 1 --hdd-bytes 512m \
        --hdd-opts wr-seq,fsync --cpu "$(nproc)" --vm 1 --vm-bytes 1g &
    hog_pids="$hog_pids $!"
}
stop_neighbour() {
    stop_hog
}

# start_copier: a program copying large files to the disk that the installation lies on, which
# leaves the flushing to the kernel, as cp and compilers do. Stopped with stop_hog.
start_copier() {
    mkdir -p "$work/copier"
    stress-ng --quiet --temp-path "$work/copier" --hdd 1 --hdd-bytes 1g --hdd-opts wr-seq &
    hog_pids="$hog_pids $!"
}

# Every size as published, with digest and size; the largest also without them, which leaves
# the engine's transfer alone (not a goal), with the CPU taken by a hog, and beside the neighbour.
largest=$(echo $BENCH_DOWNLOAD_SIZES | tr ' ' '\n' | sort -n | tail -n 1)
if wanted download; then
    for variant in $BENCH_DOWNLOAD_SIZES "$largest-nodigest" "$largest-contended" \
        "$largest-neighbour"; do
        download_size=${variant%-*}
        check=digest
        if [ "$variant" = "$largest-nodigest" ]; then check=none; fi
        echo "download: $download_size bytes, $check${variant#"$download_size"}" >&2
        ln -sf "$scratch/data/blob-$download_size" "$servers/www/core.zip"
        write_catalogue "$download_size" "$check"
        start_update_server
        if [ "$variant" = "$largest-contended" ]; then start_hog 4; fi
        if [ "$variant" = "$largest-neighbour" ]; then start_neighbour; fi
        : >"$results/download-$variant.vmhwm"
        run_pair download
        if [ "$variant" = "$largest-contended" ]; then stop_hog; fi
        if [ "$variant" = "$largest-neighbour" ]; then stop_neighbour; fi
        mv "$results/download.ours" "$results/download-$variant.ours"
        mv "$results/download.peer" "$results/download-$variant.peer"
        stop_update_server
    done
    # Memory only: the same largest download while the event loop keeps stalling, on a quiet
    # machine, beside the hog and beside the neighbour.
    write_catalogue "$largest" digest
    start_update_server
    for variant in stalled stalled-contended stalled-neighbour; do
        echo "download: $largest bytes, event loop stalling${variant#stalled}" >&2
        if [ "$variant" = stalled-contended ]; then start_hog 4; fi
        if [ "$variant" = stalled-neighbour ]; then start_neighbour; fi
        : >"$results/download-$largest-$variant.vmhwm"
        i=1
        while [ "$i" -le "$runs" ]; do
            prepare_download ours
            sync
            TMPDIR="$work/download-ours" "$bin/vorn-bench-download" "$largest" --stall \
                >"$work/download.out" || fail "the engine's download failed while stalling"
            field vmhwm_kib "$work/download.out" >>"$results/download-$largest-$variant.vmhwm"
            i=$((i + 1))
        done
        if [ "$variant" = stalled-contended ]; then stop_hog; fi
        if [ "$variant" = stalled-neighbour ]; then stop_neighbour; fi
    done
    stop_update_server

    # The largest package through a relay on 127.0.0.3 that drops the link every tenth of it,
    # against the same relay that never drops it.
    echo "download: $largest bytes, link dropping every tenth" >&2
    write_catalogue "$largest" digest 127.0.0.3
    start_update_server
    download_size=$largest
    : >"$results/download-dropping.bytes"
    run_pair dropping
    stop_update_server
    rm -rf "$work/download-ours" "$work/download-curl"
fi

# --- 4. Start-up --------------------------------------------------------------------------

app="$work/app"
watcher="$bin/libvorn_bench_windowshown.so"

prepare_startup() {
    :
}
# ours_startup [PRELOADED]: the watcher, or the watcher with more libraries (colon-separated).
ours_startup() {
    TMPDIR="$work/app-tmp" "$bin/vorn-bench-launch" "${1:-$watcher}" "$work/shown" \
        "$app/vorn-updater" -root "$app" >"$work/startup.out" 2>>"$work/startup.log" \
        || fail "the updater showed no window; see $work/startup.log"
    grep -q "^window=Updater_Changelog" "$work/startup.out" \
        || fail "the updater showed $(field window "$work/startup.out"), not its offer window"
    field seconds "$work/startup.out"
}
# peer_window PROGRAM [ARGUMENT...]: seconds until the peer PROGRAM showed its window.
peer_window() {
    "$bin/vorn-bench-launch" "$watcher" "$work/shown" "$bin/$@" \
        >"$work/startup.out" 2>>"$work/startup.log" || fail "the peer showed no window"
    field seconds "$work/startup.out"
}
peer_startup() {
    peer_window vorn-bench-peerwindow
}
# For comparison: the same peer with one line of text, which sets up fonts as every window with
# text must.
prepare_startuptext() {
    :
}
ours_startuptext() {
    ours_startup
}
peer_startuptext() {
    peer_window vorn-bench-peerwindow --text
}

# The goal: a window with a line of text that loads every library the updater loads and is
# built from a form with QUiLoader, as the updater's windows are.
prepare_startupform() {
    :
}
ours_startupform() {
    ours_startup
}
peer_startupform() {
    peer_window vorn-bench-peerform
}

# For comparison: the same with a handshake as long as a round trip of 30 ms, which the check
# makes while the messenger runs, so that only the rest of it shows.
prepare_startuphandshake() {
    :
}
ours_startuphandshake() {
    VORN_BENCH_HANDSHAKE_MS=30 ours_startup "$watcher:$bin/libvorn_bench_slowconnect.so"
}
peer_startuphandshake() {
    peer_startupform
}

if wanted startup; then
    echo "start-up" >&2
    mkdir -p "$app" "$work/app-tmp"
    cp "$repo/build-bench/src/app/vorn-updater" "$bin/vorn" "$bin/components.txt" "$app/"
    write_catalogue "$largest" none
    start_update_server
    # One run of each first, so that both find their libraries in the page cache.
    ours_startup >/dev/null
    peer_startup >/dev/null
    saved_runs="$runs"
    runs=$((runs * 2 + 1))
    run_pair startup
    run_pair startuptext
    run_pair startupform
    run_pair startuphandshake
    # What the updater waits for and no peer does: the messenger's answer to its query, from
    # the start of its process to its end.
    python3 - "$app/vorn" "$runs" >"$results/startup-messenger" <<'EOF'
import subprocess, sys, time
for _ in range(int(sys.argv[2])):
    started = time.perf_counter()
    subprocess.run([sys.argv[1], "-updatequery"], stdout=subprocess.DEVNULL, check=True)
    print("%.4f" % (time.perf_counter() - started))
EOF
    runs="$saved_runs"
    stop_update_server
fi

# --- 3. Update check ----------------------------------------------------------------------

requests="$BENCH_REPLY_REQUESTS"
prepare_parser() {
    :
}
ours_parser() {
    "$bin/vorn-bench-updatecheck" parser "$requests" 1024 >"$work/parser.out" \
        || fail "the reply in pieces was not read"
    [ "$(field updates "$work/parser.out")" = "$requests" ] || fail "updates were lost"
    field bytes "$work/parser.out" >"$results/reply.bytes"
    field seconds "$work/parser.out"
}
peer_parser() {
    "$bin/vorn-bench-updatecheck" parser "$requests" 0 >"$work/parser.out" \
        || fail "the reply in one piece was not read"
    field seconds "$work/parser.out"
}
prepare_check() {
    :
}
ours_check() {
    "$bin/vorn-bench-updatecheck" check "$requests" 1024 >"$work/check.out" \
        || fail "the check of a reply in pieces failed"
    [ "$(field updates "$work/check.out")" = "$requests" ] || fail "updates were lost"
    field seconds "$work/check.out"
}
peer_check() {
    "$bin/vorn-bench-updatecheck" check "$requests" 0 >"$work/check.out" \
        || fail "the check of a reply in one piece failed"
    field seconds "$work/check.out"
}

hostile_replies="entity depth requests field"
if wanted check; then
    echo "update check" >&2
    run_pair parser
    run_pair check
    echo "hostile replies" >&2
    for kind in $hostile_replies; do
        : >"$results/hostile-$kind.seconds"
        : >"$results/hostile-$kind.vmhwm"
        run=0
        while [ "$run" -lt "$runs" ]; do
            "$bin/vorn-bench-updatecheck" hostile "$kind" >"$work/hostile.out" \
                || fail "the hostile reply ($kind) was not refused"
            field seconds "$work/hostile.out" >>"$results/hostile-$kind.seconds"
            field vmhwm_kib "$work/hostile.out" >>"$results/hostile-$kind.vmhwm"
            run=$((run + 1))
        done
    done
fi

# --- 2. Unpack and install ----------------------------------------------------------------

package="$tree/core.zip"
prepare_install() {
    rm -rf "$work/install-$1"
    mkdir -p "$work/install-$1/download" "$work/install-$1/extract" "$work/install-$1/backup"
    cp -a "$tree/old" "$work/install-$1/root"
    ln "$package" "$work/install-$1/download/core.zip"
}
ours_install() {
    "$bin/vorn-bench-install" install "$work/install-ours/download/" http://127.0.0.1/core.zip \
        -root "$work/install-ours/root" >"$work/install.out" || fail "the install failed"
    field seconds "$work/install.out"
}
peer_install() {
    start=$(now)
    unzip -q -o "$package" -d "$work/install-peer/extract"
    (cd "$work/install-peer/root" \
        && xargs -d '\n' cp -a --parents -t "$work/install-peer/backup" <"$tree/replaced.txt")
    cp -a "$work/install-peer/extract/." "$work/install-peer/root/"
    since "$start"
}

prepare_unpack() {
    rm -rf "$work/unpack-$1"
    mkdir -p "$work/unpack-$1"
}
ours_unpack() {
    "$bin/vorn-bench-install" unpack "$package" "$work/unpack-ours" >"$work/unpack.out" \
        || fail "unpacking failed"
    field seconds "$work/unpack.out"
}
peer_unpack() {
    start=$(now)
    unzip -q "$package" -d "$work/unpack-peer"
    since "$start"
}

if wanted install; then
    echo "unpack and install" >&2
    run_pair install
    # Both ended with the new files in place and every replaced file backed up.
    diff -rq "$tree/new" "$work/install-ours/root" | grep -v "^Only in $work/install-ours/root" \
        && fail "the installed tree differs from the package"
    [ "$(find "$work/install-ours/download/core/unwind" -type f | wc -l)" \
        = "$(wc -l <"$tree/replaced.txt")" ] || fail "backups are missing"
    rm -rf "$work/install-ours" "$work/install-peer"
    run_pair unpack
    rm -rf "$work/unpack-ours" "$work/unpack-peer"
fi

# --- 5. Whole update with a patch package -------------------------------------------------
# The check, download, rebuild and installation run of a release pair over loopback shaped to
# 20 Mbit/s: with the patch package (ours) against the same update with the whole package.
# A point release also runs beside the copier: a run that waited for other programs' writes to
# reach the disk would show it in its time against the quiet one.

prepare_update() {
    [ -n "$server_pid" ] && stop_update_server
    # The whole package's entry, with the patch's element inside it for ours.
    awk -v patch="$(cat "$pair_dir/patch.entry")" -v side="$1" '
        /<\/component>/ && side == "ours" { print patch }
        { print }' "$pair_dir/full.entry" >"$servers/entry.xml"
    printf '<catalogue>\n%s\n</catalogue>\n' "$(cat "$servers/entry.xml")" >"$servers/catalogue.xml"
    start_update_server
    rm -rf "$work/update-root" "$work/update-tmp"
    cp -a "$pair_dir/old" "$work/update-root"
    touch "$work/update-root/vorn"
    mkdir -p "$work/update-tmp"
}
ours_update() {
    TMPDIR="$work/update-tmp" "$bin/vorn-bench-install" update -root "$work/update-root" \
        >"$work/update.out" 2>>"$work/update.log" || fail "the patched update failed; see $work/update.log"
    field seconds "$work/update.out"
    diff -rq "$pair_dir/new" "$work/update-root" | grep -v "^Only in $work/update-root" \
        && fail "the patched update left other files than the release"
    return 0
}
peer_update() {
    TMPDIR="$work/update-tmp" "$bin/vorn-bench-install" update -root "$work/update-root" \
        >"$work/update.out" 2>>"$work/update.log" || fail "the whole update failed; see $work/update.log"
    field seconds "$work/update.out"
}

if wanted patch && [ -s "$BENCH_PATCHES" ]; then
    ip link set lo mtu 1500
    tc qdisc add dev lo root tbf rate 20mbit burst 32kb latency 100ms \
        || fail "tc cannot shape the loopback"
    n=0
    while IFS='|' read -r pair _ _ _ _ _ _ _ _ _ _ pair_dir kind _; do
        n=$((n + 1))
        echo "whole update at 20 Mbit/s: $pair" >&2
        ln -sf "$pair_dir/full.zip" "$servers/www/full.zip"
        ln -sf "$pair_dir/patch.zip" "$servers/www/patch.zip"
        run_pair update </dev/null
        mv "$results/update.ours" "$results/update-$n.ours"
        mv "$results/update.peer" "$results/update-$n.peer"
        if [ "$kind" = point ]; then
            echo "whole update at 20 Mbit/s beside the copier: $pair" >&2
            start_copier
            run_pair update </dev/null
            stop_hog
            mv "$results/update.ours" "$results/update-$n-copier.ours"
            mv "$results/update.peer" "$results/update-$n-copier.peer"
        fi
        stop_update_server
    done <"$BENCH_PATCHES"
    rm -rf "$work/update-root" "$work/update-tmp"
    tc qdisc del dev lo root
    ip link set lo mtu 65536
fi

# --- 6. A wave of update checks -------------------------------------------------------------
# Each exchange a real query and its whole reply, against one server instance (its catalogue
# reloaded three times meanwhile), two behind nginx's stream proxy, and nginx's stream module
# answering the same reply with `return`: the server at its default of an event loop per core,
# nginx with a worker per core, all taking clients from one listening socket as the server's
# loops do (nginx's default, without reuseport). First with 2,000 exchanges at once
# for 20 s: the most each answers. Then at half of nginx's most, with up to 2,000 at once: the
# latency at a rate that one instance must reach, then again beside a busy loop on every core
# and beside the neighbour (start_neighbour), against nginx's latency there. Last, one instance
# at its defaults answers a wave of genuine checks while 2,000 attackers (non-readers, drippers,
# endless queries; see load.cpp) do what they can to deny it.
#
# The load generator stands for clients on other machines, so it gets a CPU share of its own: a
# cgroup whose weight is nine times a program's, which on this machine gives its one thread
# the core it asks for whatever else runs (the servers, the neighbour, other work), while the
# servers and nginx share the cores with the neighbour as equals. Without a writable cgroup it
# runs as any program does, and the table says so.

load_connections=2000
load_seconds=20
# The server's event loops at its default, and as many nginx workers.
load_loops=$(nproc)
# The hostile mix: genuine checks at this rate while the attackers keep at it (their first
# connections spread over the ramp's seconds).
attackers=2000
attack_ramp=6
hostile_rate=200
if wanted load && grep -qw cpu /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
    generator_share=/sys/fs/cgroup/vorn-bench-load-$$
    mkdir "$generator_share" 2>/dev/null && echo 900 >"$generator_share/cpu.weight" \
        || generator_share=""
elif wanted load && [ -d /sys/fs/cgroup/cpu ]; then
    generator_share=/sys/fs/cgroup/cpu/vorn-bench-load-$$
    mkdir "$generator_share" 2>/dev/null && echo 9216 >"$generator_share/cpu.shares" \
        || generator_share=""
fi
# generating COMMAND...: COMMAND in the load generator's CPU share.
generating() {
    if [ -n "$generator_share" ]; then
        sh -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$generator_share" "$@"
    else
        "$@"
    fi
}
# load_run NAME [--rate R]: a wave against port 443, its figures in $results/load-NAME and the
# kernel's counters of the run (what a lost check is made of) in $results/load-NAME.nstat.
export NSTAT_HISTORY="$work/nstat.history"
load_run() {
    name=$1
    shift
    nstat -n
    generating "$bin/vorn-bench-load" 127.0.0.1 443 "$load_connections" "$load_seconds" "$@" \
        --expect "<version>2.0</version>" >"$results/load-$name" || fail "the wave ($name) failed"
    nstat -z >"$results/load-$name.nstat"
}
# load_nginx STREAM: nginx with that stream block, as the only thing on port 443.
load_nginx() {
    cat >"$servers/load-nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
user root;
daemon off;
master_process on;
worker_processes $load_loops;
worker_rlimit_nofile 65536;
pid $servers/load-nginx.pid;
error_log $servers/load-nginx-error.log;
events { worker_connections 16384; }
stream { $1 }
EOF
    "$nginx_binary" -e "$servers/load-nginx-error.log" -p "$servers" -c "$servers/load-nginx.conf" &
    load_nginx_pid=$!
    answers_exchange 443
}
end_load_nginx() {
    kill "$load_nginx_pid"
    wait "$load_nginx_pid" 2>/dev/null || true
}
# load_instance PORT [OPTION...]: an update server on 127.0.0.1:PORT, its pid in $instance_pid.
load_instance() {
    port=$1
    shift
    "$repo/build-bench/tools/updateserver/vorn-update-server" --catalogue "$servers/catalogue.xml" \
        --reply-key "$repo/build-bench/reply.key" --port "$port" "$@" 2>/dev/null &
    instance_pid=$!
    answers_exchange "$port"
}
answers_exchange() {
    tries=0
    until "$bin/vorn-bench-load" 127.0.0.1 "$1" 1 5 --count 1 --expect "<version>" \
        | grep -q "^matched.0=1$"; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || fail "nothing answers on port $1"
        sleep 0.05
    done
}
# cpu_ns PID...: the CPU time of the processes' threads, in nanoseconds.
cpu_ns() {
    for pid in "$@"; do cat /proc/"$pid"/task/*/schedstat; done \
        | awk '{ s += $1 } END { printf "%.0f\n", s }'
}
# costed_run NAME PIDS [--rate R]: load_run NAME, and the CPU time that the processes PIDS (one
# word, blank-separated) spent meanwhile in $results/load-NAME.cpu_ns. Beside the neighbour it
# tells a check that costs more from a server that was given less of the machine.
costed_run() {
    costed=$1
    pids=$2
    shift 2
    # shellcheck disable=SC2086
    spent=$(cpu_ns $pids)
    load_run "$costed" "$@"
    # shellcheck disable=SC2086
    echo $(($(cpu_ns $pids) - spent)) >"$results/load-$costed.cpu_ns"
}
# report_variety: install reports of 8 components, 3 versions each and every outcome, for as
# many series as a publisher's few staged releases make.
report_variety() {
    python3 - <<'EOF'
import socket
for component in range(8):
    for version in ("1.0", "1.1", "2.0"):
        for outcome in ("installed", "rolled-back", "refused", "download-failed", "cancelled",
                        "recovered"):
            with socket.create_connection(("127.0.0.1", 443)) as s:
                s.sendall(('<report version="1"><package component="c%d" project="vorn" '
                           'type="app" from="0.9" to="%s" delivery="whole" outcome="%s" '
                           'reason="none"/></report>' % (component, version, outcome)).encode())
                s.shutdown(socket.SHUT_WR)
                s.recv(16)
EOF
}
# The catalogue reloaded every 5 s while a wave runs.
reloading() {
    (for at in 5 5 5; do sleep "$at"; kill -HUP "$1"; done) &
}

if wanted load; then
    [ -e /usr/lib/nginx/modules/ngx_stream_module.so ] \
        || fail "the load benchmark needs nginx's stream module (libnginx-mod-stream)"
    write_catalogue 1 none
    echo "wave of checks: nginx answering alone" >&2
    load_instance 443
    "$bin/vorn-bench-load" 127.0.0.1 443 1 5 --count 1 --save "$servers/reply.xml" >/dev/null
    kill "$instance_pid"
    wait "$instance_pid" 2>/dev/null || true
    # The reply as one string of nginx configuration: quotes and backslashes escaped.
    reply=$(sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' "$servers/reply.xml" | awk '{ printf "%s\\n", $0 }')
    load_nginx "server { listen 127.0.0.1:443 backlog=4096; return \"$reply\"; }"
    load_run peer
    load_rate=$(awk -v r="$(field per_second "$results/load-peer")" 'BEGIN { printf "%d", r / 2 }')
    load_run peer-rate --rate "$load_rate"
    start_hog 1
    load_run peer-busy --rate "$load_rate"
    stop_hog
    start_neighbour
    costed_run peer-neighbour "$load_nginx_pid $(cat /proc/"$load_nginx_pid"/task/*/children)" \
        --rate "$load_rate"
    stop_neighbour
    end_load_nginx

    echo "wave of checks: one instance, reloaded meanwhile" >&2
    load_instance 443
    reloading "$instance_pid"
    load_run one
    reloading "$instance_pid"
    load_run one-rate --rate "$load_rate"
    start_hog 1
    load_run one-busy --rate "$load_rate"
    stop_hog
    start_neighbour
    costed_run one-neighbour "$instance_pid" --rate "$load_rate"
    stop_neighbour
    kill "$instance_pid"
    wait "$instance_pid" 2>/dev/null || true

    # Staged: 2.0 to half of the positions, 1.5 to the others; a tenth of the exchanges are
    # install reports, which feed 2.0's halt rule (all of them successes).
    echo "wave of checks: one instance deciding a rollout on each, a report every tenth" >&2
    sed -e 's|<component project="vorn" name="core" type="app">|<component project="vorn" name="core" type="app" rollout="50%">|' \
        -e 's|<catalogue>|<catalogue><component project="vorn" name="core" type="app"><version>1.5</version><link>http://127.0.0.1/core-1.5.zip</link></component>|' \
        "$servers/catalogue.xml" >"$servers/staged-catalogue.xml"
    cp "$servers/catalogue.xml" "$servers/plain-catalogue.xml"
    cp "$servers/staged-catalogue.xml" "$servers/catalogue.xml"
    load_instance 443 --reports-per-minute 0 --metrics 127.0.0.1:9464
    # The scrapes' cost in the server's CPU time, which a busy machine slows but does not
    # change, where two waves' rates differ by more than the cost: the CPU of one scrape
    # (gzipped, as Prometheus asks) against the CPU the server spends in a second at its most.
    cpu_before=$(cpu_ns "$instance_pid")
    wave_start=$(now)
    load_run rollout --rollout 10 --expect "<version>1.5</version>"
    wave_seconds=$(since "$wave_start")
    cpu_after=$(cpu_ns "$instance_pid")
    report_variety
    scrape_cpu=$(cpu_ns "$instance_pid")
    i=0
    while [ "$i" -lt 100 ]; do
        curl -s --compressed -o /dev/null http://127.0.0.1:9464/metrics || fail "no metrics"
        i=$((i + 1))
    done
    awk -v a="$cpu_before" -v b="$cpu_after" -v t="$wave_seconds" -v s="$scrape_cpu" \
        -v e="$(cpu_ns "$instance_pid")" \
        -v n="$(curl -s http://127.0.0.1:9464/metrics | grep -c '^vorn_')" 'BEGIN {
            printf "cpu_per_second=%.4f\nscrape_cpu_ms=%.3f\nseries=%d\n", (b - a) / 1e9 / t,
                (e - s) / 1e6 / 100, n }' >"$results/load-rollout-scrapes"
    kill "$instance_pid"
    wait "$instance_pid" 2>/dev/null || true
    cp "$servers/plain-catalogue.xml" "$servers/catalogue.xml"

    echo "wave of checks: two instances behind nginx" >&2
    # Every client comes with nginx's address.
    load_instance 8443 --max-connections-per-address 0
    first=$instance_pid
    load_instance 8444 --max-connections-per-address 0
    second=$instance_pid
    load_nginx "upstream servers { server 127.0.0.1:8443; server 127.0.0.1:8444; }
        server { listen 127.0.0.1:443 backlog=4096 reuseport; proxy_pass servers; }"
    load_run two
    load_run two-rate --rate "$load_rate"
    end_load_nginx
    kill "$first" "$second"
    wait "$first" "$second" 2>/dev/null || true

    # The catalogue gains 240 components with the longest changelog the updater takes; the
    # non-readers ask for each once (a query of 15,516 bytes, within the server's default
    # 16 KiB), as large a reply as the updater's bound holds.
    echo "wave of checks: one instance at its defaults, under attack by $attackers clients" >&2
    changelog=$(head -c 65536 /dev/zero | tr '\0' x)
    {
        sed 's|</catalogue>||' "$servers/catalogue.xml"
        i=1
        while [ "$i" -le 240 ]; do
            printf '  <component project="vorn" name="n%d" type="app"><version>2.0</version><link>http://127.0.0.1/notes.zip</link><changelog>%s</changelog></component>\n' \
                "$i" "$changelog"
            i=$((i + 1))
        done
        echo '</catalogue>'
    } >"$servers/attack-catalogue.xml"
    mv "$servers/attack-catalogue.xml" "$servers/catalogue.xml"
    {
        printf '<s><update>'
        i=1
        while [ "$i" -le 240 ]; do
            printf "<component project='vorn' name='n%d' type='app' version='1.0' />" "$i"
            i=$((i + 1))
        done
        printf '</update></s>'
    } >"$servers/attack-query.xml"
    load_instance 443
    generating "$bin/vorn-bench-load" 127.0.0.1 443 1 $((attack_ramp + load_seconds + 2)) --count 0 \
        --attackers "$attackers" --attack-query "$servers/attack-query.xml" \
        >"$results/load-attackers" &
    attack_pid=$!
    sleep "$attack_ramp"
    load_run hostile --rate "$hostile_rate"
    wait "$attack_pid" || fail "the attackers failed"
    sed -n 's/^VmHWM:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$instance_pid/status" >"$results/load-hostile.vmhwm"
    kill "$instance_pid"
    wait "$instance_pid" 2>/dev/null || true
fi

# --- Table --------------------------------------------------------------------------------

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}
verdict() {
    awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g ? "met" : "MISSED") }'
}
row() {
    # name, file stem, unit, goal; nothing for a scenario that was not run
    [ -s "$results/$2.ours" ] || return 0
    ours=$(median "$results/$2.ours")
    peer=$(median "$results/$2.peer")
    r=$(ratio "$ours" "$peer")
    if [ "$4" = "-" ]; then
        printf '| %s | %s %s | %s %s | %s | - | |\n' "$1" "$ours" "$3" "$peer" "$3" "$r"
        return
    fi
    printf '| %s | %s %s | %s %s | %s | <= %s | %s |\n' "$1" "$ours" "$3" "$peer" "$3" "$r" \
        "$4" "$(verdict "$r" "$4")"
}
mib() {
    awk -v b="$1" 'BEGIN { printf "%g MiB", b / 1048576 }'
}

files=$(wc -l <"$tree/replaced.txt")
echo
echo "Medians of $runs runs (start-up: $((runs * 2 + 1))); ours/peer below 1 means ours is faster."
echo
echo "| Scenario | Ours | Peer | Ours/peer | Goal | |"
echo "|---|---|---|---|---|---|"
for size in $BENCH_DOWNLOAD_SIZES; do
    row "1. Download $(mib "$size") with sha256 and size: engine vs \`curl -s -o\`" "download-$size" s 1.05
done
row "1. Download $(mib "$largest") with sha256 and size, busy loops on every core: engine vs \`curl -s -o\`" "download-$largest-contended" s 1.05
row "1. Download $(mib "$largest") with sha256 and size beside the neighbour (stress-ng writing and syncing on the same disk, every core busy, 1 GiB held): engine vs \`curl -s -o\`" "download-$largest-neighbour" s 1.25
row "1. Download $(mib "$largest"), for comparison, without sha256 and size to check" "download-$largest-nodigest" s -
row "1. Download $(mib "$largest") over a link dropped every tenth of it: engine vs engine over the same link unbroken" dropping s 1.15
wanted install && row "2. Install $(du -m "$package" | cut -f1) MB package, $(unzip -Z1 "$package" | wc -l) entries, $files replaced: VornUpdatePackage::install vs unzip + cp -a backup + cp -a" install s 1.25
row "2. Unpack alone: ArchiveExtractor vs \`unzip -q\`" unpack s 1.10
wanted check && row "3. UpdateReply, $requests requests ($(awk -v b="$(cat "$results/reply.bytes")" 'BEGIN { printf "%.1f MB", b / 1e6 }')): 1 KiB pieces vs one piece" parser s 1.5
row "3. checkUpdates over loopback: 1 KiB pieces vs one piece" check s 1.5
# The updater builds its forms at run time with QUiLoader, so its peer loads the same libraries
# and builds its window so too.
row "4. Start-up to the offer window: vorn-updater vs a window with a line of text built from a form with QUiLoader, loading the updater's libraries" startupform s 1.2
row "4. Start-up, for comparison: the same with each connection's handshake to the update server 30 ms long (a preloaded connect returning that late), which the check makes while the messenger runs" startuphandshake s -
row "4. Start-up, for comparison: the same against the window with text alone" startuptext s -
row "4. Start-up, for comparison: the same against a bare QWidget" startup s -
if [ -s "$results/startup-messenger" ]; then
    printf '| 4. Start-up, for comparison: the messenger stand-in answering `-updatequery` alone, start to end, which the updater waits for and no peer runs | %s s | - | - | - | |\n' \
        "$(median "$results/startup-messenger")"
fi
echo
# A bound holds in every run, so the worst run is the figure.
echo "| Peak resident memory of the download driver (VmHWM) | Worst run | Goal | |"
echo "|---|---|---|---|"
for size in $BENCH_DOWNLOAD_SIZES $largest-nodigest $largest-contended $largest-neighbour \
    $largest-stalled $largest-stalled-contended $largest-stalled-neighbour; do
    [ -s "$results/download-$size.vmhwm" ] || continue
    kib=$(sort -n "$results/download-$size.vmhwm" | tail -n 1)
    printf '| %s package%s | %s MiB | < 48 MiB | %s |\n' "$(mib "${size%%-*}")" \
        "$(case $size in
            *-nodigest) echo ", nothing to check" ;;
            *-stalled-contended) echo ", event loop blocked and busy loops on every core" ;;
            *-stalled-neighbour) echo ", event loop blocked, beside the neighbour" ;;
            *-contended) echo ", busy loops on every core" ;;
            *-neighbour) echo ", beside the neighbour" ;;
            *-stalled) echo ", event loop blocked 200 ms in every 300 ms" ;;
            esac)" \
        "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" \
        "$(awk -v k="$kib" 'BEGIN { print (k < 49152 ? "met" : "MISSED") }')"
done
if [ -s "$results/download-dropping.bytes" ]; then
    worst=$(sort -g "$results/download-dropping.bytes" | tail -n 1)
    printf '\nOver the dropping link the most sent for one download: %s bytes, %s of the package (goal: at most 1.05: %s)\n' \
        "$worst" "$(awk -v b="$worst" -v s="$largest" 'BEGIN { printf "%.3f", b / s }')" \
        "$(awk -v b="$worst" -v s="$largest" 'BEGIN { print (b <= 1.05 * s ? "met" : "MISSED") }')"
fi
if wanted check; then
    echo
    echo "| Hostile reply, refused | Slowest | Peak memory (VmHWM) | Goal | |"
    echo "|---|---|---|---|---|"
    for kind in $hostile_replies; do
        worst=$(sort -g "$results/hostile-$kind.seconds" | tail -n 1)
        kib=$(sort -g "$results/hostile-$kind.vmhwm" | tail -n 1)
        printf '| %s | %s s | %s MiB | < 0.1 s, < 64 MiB | %s |\n' \
            "$(case $kind in
                entity) echo "a 4,000-character entity referenced 100,000 times" ;;
                depth) echo "elements nested 100,000 deep" ;;
                requests) echo "1,680,000 empty requests" ;;
                field) echo "a changelog of 1 MiB" ;;
                esac)" \
            "$worst" "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" \
            "$(awk -v s="$worst" -v k="$kib" 'BEGIN { print (s < 0.1 && k < 65536 ? "met" : "MISSED") }')"
    done
fi
for pair in parser:UpdateReply check:checkUpdates; do
    stem=${pair%%:*}
    [ -s "$results/$stem.ours" ] || continue
    typical=$(median "$results/$stem.ours")
    worst=$(sort -g "$results/$stem.ours" | tail -n 1)
    printf '\n%s, reply in pieces: median %s s, slowest %s s (goal: under 1 s: %s)\n' "${pair#*:}" \
        "$typical" "$worst" "$(awk -v s="$typical" 'BEGIN { print (s < 1 ? "met" : "MISSED") }')"
done
if [ -s "$BENCH_PATCHES" ]; then
    echo
    echo "| Patch package of a real release pair | Full package | Patch package | Patch/full | bsdiff, changed files | zstd -19 --long --patch-from | Smaller of the two, file by file | Patch/smaller | zstd -19 --long=31 --patch-from (whole old file) | Smaller of bsdiff and it, file by file | Patch/that | xdelta3 -9 | Built in (2 cores) | Builder's peak memory | Rebuilt in (bspatch) | Goals: patch <= 1.02 x the smaller of bsdiff and whole-file zstd; point release: patch/full <= 0.2; major release: built in <= 180 s, peak memory <= 2 GiB |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    while IFS='|' read -r pair full patch bsdiff zstd best xdelta built peak applied bspatched _ kind whole wbest capped; do
        # Figures kept from before the whole-file column have none: their goal is the smaller
        # of the two.
        awk -v pair="$pair" -v f="$full" -v p="$patch" -v b="$bsdiff" -v z="$zstd" -v best="$best" \
            -v x="$xdelta" -v t="$built" -v m="$peak" -v a="$applied" -v bp="$bspatched" \
            -v kind="$kind" -v w="$whole" -v wb="$wbest" -v capped="$capped" 'BEGIN {
            goal = wb != "" ? wb : best
            met = p <= 1.02 * goal && (kind != "point" || p <= 0.2 * f) \
                && (kind != "major" || (t <= 180 && m <= 2 * 1024 * 1024))
            bsdiff = sprintf("%.0f KB", b / 1000)
            if (capped > 0)
                bsdiff = bsdiff sprintf(" (zstd'"'"'s on %d over 128 MiB)", capped)
            whole = w != "" ? sprintf("%.0f KB | %.0f KB | %.2f", w / 1000, wb / 1000, p / wb) : "- | - | -"
            printf "| %s | %.0f KB | %.0f KB | %.2f | %s | %.0f KB | %.0f KB | %.2f | %s | %.0f KB | %s s | %.0f MiB | %s s (%s s) | %s |\n",
                pair, f / 1000, p / 1000, p / f, bsdiff, z / 1000, best / 1000, p / best, whole,
                x / 1000, t, m / 1024, a, bp, met ? "met" : "MISSED" }'
    done <"$BENCH_PATCHES"
    if wanted patch; then
        echo
        echo "| Whole update at 20 Mbit/s (check, download, rebuild, install) | With the patch | With the whole package | Patch/whole | Goal | |"
        echo "|---|---|---|---|---|---|"
        n=0
        while IFS='|' read -r pair _ _ _ _ _ _ _ _ _ _ _ kind _; do
            n=$((n + 1))
            [ -s "$results/update-$n.ours" ] || continue
            ours=$(median "$results/update-$n.ours")
            peer=$(median "$results/update-$n.peer")
            r=$(ratio "$ours" "$peer")
            if [ "$kind" = point ]; then
                printf '| %s | %s s | %s s | %s | <= 0.25 | %s |\n' "$pair" "$ours" "$peer" "$r" \
                    "$(verdict "$r" 0.25)"
                [ -s "$results/update-$n-copier.ours" ] || continue
                busy=$(median "$results/update-$n-copier.ours")
                busy_peer=$(median "$results/update-$n-copier.peer")
                printf '| %s, beside a copy of large files to the same disk (%s x the quiet run with the patch) | %s s | %s s | %s | - | |\n' \
                    "$pair" "$(ratio "$busy" "$ours")" "$busy" "$busy_peer" \
                    "$(ratio "$busy" "$busy_peer")"
            else
                printf '| %s | %s s | %s s | %s | - | |\n' "$pair" "$ours" "$peer" "$r"
            fi
        done <"$BENCH_PATCHES"
    fi
fi
# lost_in RUN...: the exchanges those runs lost.
lost_in() {
    n=0
    for run in "$@"; do
        n=$((n + $(field failures "$results/load-$run") + $(field unmatched "$results/load-$run")))
    done
    echo "$n"
}
if [ -s "$results/load-one" ]; then
    echo
    echo "| Wave of update checks (one 20 s run each) | Most exchanges per second, 2,000 at once | Against nginx alone | p50 at $load_rate/s | p99 at $load_rate/s | p99 at $load_rate/s, a busy loop on every core | p99 at $load_rate/s beside the neighbour | Lost | Resets after a reply | Goal | |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    peer_busy=$(field p99_ms "$results/load-peer-busy")
    peer_neighbour=$(field p99_ms "$results/load-peer-neighbour")
    peer_rate=$(field per_second "$results/load-peer")
    for name in one two peer; do
        rate=$(field per_second "$results/load-$name")
        p99=$(field p99_ms "$results/load-$name-rate")
        runs_of_name="$name $name-rate"
        busy=-
        neighbour=-
        if [ -s "$results/load-$name-busy" ]; then
            busy="$(field p99_ms "$results/load-$name-busy") ms"
            runs_of_name="$runs_of_name $name-busy"
        fi
        if [ -s "$results/load-$name-neighbour" ]; then
            neighbour="$(field p99_ms "$results/load-$name-neighbour") ms"
            runs_of_name="$runs_of_name $name-neighbour"
        fi
        # shellcheck disable=SC2086
        lost=$(lost_in $runs_of_name)
        resets=0
        for run in $runs_of_name; do
            resets=$((resets + $(field resets_after_reply "$results/load-$run")))
        done
        r=$(ratio "$rate" "$peer_rate")
        case $name in
        one) label="one vorn-update-server ($load_loops event loops), its catalogue reloaded 3 times in each run"
             goal=">= 0.5, p99 < 50 ms, busy and neighbour p99 at most 2 times nginx's, none lost, no reset"
             met=$(awk -v r="$r" -v p="$p99" -v l="$lost" -v x="$resets" -v b="${busy% ms}" -v n="$peer_busy" \
                 -v c="${neighbour% ms}" -v m="$peer_neighbour" \
                 'BEGIN { print (r >= 0.5 && p < 50 && l == 0 && x == 0 && b <= 2 * n && c <= 2 * m ? "met" : "MISSED") }') ;;
        two) label="two behind nginx stream ($load_loops workers)"; goal="none lost"
             met=$([ "$lost" -eq 0 ] && echo met || echo MISSED) ;;
        peer) label="nginx stream \`return\` of the same reply ($load_loops workers)"; goal="-"; met="" ;;
        esac
        printf '| %s | %s | %s | %s ms | %s ms | %s | %s | %s | %s | %s | %s |\n' "$label" "$rate" "$r" \
            "$(field p50_ms "$results/load-$name-rate")" "$p99" "$busy" "$neighbour" "$lost" \
            "$resets" "$goal" "$met"
    done
    # What a lost check is made of, beside the neighbour: the generator's view and the kernel's.
    for name in one peer; do
        run="$results/load-$name-neighbour"
        [ -s "$run" ] || continue
        printf '\nBeside the neighbour, %s: %s lost (cannot connect %s, reset before a reply %s, closed before a reply %s, over 10 s %s, not started in the run %s, unmatched %s); the kernel: listen queue overflows %s, SYNs dropped %s, resets on close with data unread %s' \
            "$name" "$(lost_in "$name-neighbour")" "$(field failures.connect "$run")" \
            "$(field failures.reset "$run")" "$(field failures.closed "$run")" \
            "$(field failures.late "$run")" "$(field failures.unstarted "$run")" \
            "$(field unmatched "$run")" \
            "$(awk '$1 == "TcpExtListenOverflows" { print $2 }' "$run.nstat")" \
            "$(awk '$1 == "TcpExtListenDrops" { print $2 }' "$run.nstat")" \
            "$(awk '$1 == "TcpExtTCPAbortOnData" { print $2 }' "$run.nstat")"
        if [ -s "$run.cpu_ns" ]; then
            awk -v c="$(cat "$run.cpu_ns")" -v n="$(field exchanges "$run")" \
                -v s="$(field seconds "$run")" 'BEGIN {
                    printf "; CPU per check answered %.1f us, CPU taken %.2f cores", c / 1000 / n, c / 1e9 / s }'
        fi
    done
    echo
    [ -n "$generator_share" ] \
        || printf '\nThe load generator had no CPU share of its own here (no writable cgroup).\n'
fi
if [ -s "$results/load-rollout" ]; then
    rollout_rate=$(field per_second "$results/load-rollout")
    scrapes="$results/load-rollout-scrapes"
    lost=$(lost_in rollout)
    r=$(ratio "$rollout_rate" "$(field per_second "$results/load-peer")")
    cost=$(awk -v c="$(field scrape_cpu_ms "$scrapes")" -v s="$(field cpu_per_second "$scrapes")" \
        'BEGIN { printf "%.2f", c / 1000 / s * 100 }')
    echo
    echo "| Staged rollout, one instance: a position decided on each exchange, a report every tenth | Most exchanges per second | Against nginx alone | Server's CPU a second at its most | CPU of one scrape | Cost of a scrape a second | Lost | Goal | |"
    echo "|---|---|---|---|---|---|---|---|---|"
    printf '| %s matched 2.0, %s 1.5 | %s | %s | %s s | %s ms (%s series) | %s %% | %s | >= 0.5, scrapes < 2 %%, none lost | %s |\n' \
        "$(field matched.0 "$results/load-rollout")" "$(field matched.1 "$results/load-rollout")" \
        "$rollout_rate" "$r" "$(field cpu_per_second "$scrapes")" \
        "$(field scrape_cpu_ms "$scrapes")" "$(field series "$scrapes")" "$cost" "$lost" \
        "$(awk -v r="$r" -v c="$cost" -v l="$lost" 'BEGIN { print (r >= 0.5 && c < 2 && l == 0 ? "met" : "MISSED") }')"
fi
if [ -s "$results/load-hostile" ]; then
    p99=$(field p99_ms "$results/load-hostile")
    lost=$(lost_in hostile)
    kib=$(cat "$results/load-hostile.vmhwm")
    echo
    echo "| Genuine checks at $hostile_rate/s for $load_seconds s against one vorn-update-server at its defaults, with $attackers attackers | p99 | Lost | Server's peak RSS (VmHWM) | Attackers' connections | Goal | |"
    echo "|---|---|---|---|---|---|---|"
    printf '| %s checks, p50 %s ms | %s ms | %s | %s MiB | %s, %s ended by the server | p99 < 100 ms, none lost, < 256 MiB | %s |\n' \
        "$(field exchanges "$results/load-hostile")" "$(field p50_ms "$results/load-hostile")" \
        "$p99" "$lost" "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" \
        "$(field attacks "$results/load-attackers")" \
        "$(field attacks_ended_by_server "$results/load-attackers")" \
        "$(awk -v p="$p99" -v l="$lost" -v k="$kib" 'BEGIN { print (p < 100 && l == 0 && k < 262144 ? "met" : "MISSED") }')"
fi
echo
echo "Every run: $results/"
