# Sandboxed messenger installation, packages and servers for the demo, the end-to-end test and
# the window pictures. Source it from bash after setting VORN_BUILD_DIR (the build tree); the
# programs may also be named one by one (VORN_UPDATER, VORN_MESSENGER, VORN_UPDATE_SERVER,
# VORN_PACKAGE_BUILDER).
#
#   sandbox_create DIR LANGUAGE [blocked]  lays out DIR (LANGUAGE en or pl: catalogue texts)
#   sandbox_start_servers [RATE]           nginx on 127.0.0.1:80 (RATE: nginx limit_rate) and
#                                          the update server on 127.0.0.1:443
#   sandbox_stop_servers                   stops both
#   sandbox_start_display                  Xvfb with the openbox window manager, DISPLAY set
#   sandbox_stop_display                   stops them
#   sandbox_run_updater ARGS...            runs the installed updater with -root, HOME, TMPDIR
#   sandbox_run PROGRAM ARGS...            the same for another program of the installation
#   SANDBOX_ENV                            the environment of these runs (array)
#   sandbox_listing DIR                    one line per entry: kind, mode, sha256, path
#
# Ports 80 and 443 need a private network namespace: sandbox_enter_netns re-runs a script in
# one. Nothing here ever talks to another machine.

: "${VORN_BUILD_DIR:=build}"
: "${VORN_UPDATER:=$VORN_BUILD_DIR/src/app/vorn-updater}"
: "${VORN_MESSENGER:=$VORN_BUILD_DIR/tools/messenger/vorn}"
: "${VORN_UPDATE_SERVER:=$VORN_BUILD_DIR/tools/updateserver/vorn-update-server}"
: "${VORN_PACKAGE_BUILDER:=$VORN_BUILD_DIR/tools/packagebuilder/vorn-package-builder}"
# The keys the build trusts (scripts/signing-key.sh): the packages are signed with the first,
# the update server's replies with the second.
: "${VORN_SIGNING_KEY:=$VORN_BUILD_DIR/signing.key}"
: "${VORN_REPLY_KEY:=$VORN_BUILD_DIR/reply.key}"

SANDBOX_PIDS=""
SANDBOX_DISPLAY_PIDS=""
# Debian installs nginx in /usr/sbin, which a user's PATH may lack.
command -v nginx >/dev/null || PATH=$PATH:/usr/sbin

# Ends a test script as skipped (77) when nginx is not installed.
sandbox_require_nginx() {
    command -v nginx >/dev/null && return 0
    echo "SKIP: nginx is not installed (sh scripts/install-dependencies.sh)"
    exit 77
}

# Runs a command in a private network namespace with only loopback up.
SANDBOX_NETNS=(unshare --net --map-root-user sh -c 'ip link set lo up && exec "$@"' sh)

# Re-runs "$@" in a private network namespace with only loopback up, unless already inside.
sandbox_enter_netns() {
    if [ "${VORN_SANDBOX_NETNS:-}" = 1 ]; then
        return 0
    fi
    export VORN_SANDBOX_NETNS=1
    exec "${SANDBOX_NETNS[@]}" "$@"
}

sandbox_fail() {
    echo "sandbox: $*" >&2
    return 1
}

# Writes FILE with the bytes of the remaining arguments joined by line feeds.
sandbox_write() {
    local file=$1
    shift
    mkdir -p "$(dirname "$file")"
    printf '%s\n' "$@" >"$file"
}

sandbox_texts() {
    case "$1" in
    pl)
        CORE_DESCRIPTION="Komunikator Vorn"
        CORE_CHANGELOG=$(printf '%s\n' "- Szybsze wysyłanie wiadomości" \
            "- Poprawione powiadomienia o nowych wiadomościach" "- Nowe dźwięki")
        EMOTICONS_DESCRIPTION="Emotikony Vorn"
        EMOTICONS_CHANGELOG=$(printf '%s\n' "- Nowe emotikony: uśmiech i zdziwienie" \
            "- Ostrzejsze obrazki na ekranach o dużej gęstości")
        ;;
    en)
        CORE_DESCRIPTION="Vorn messenger"
        CORE_CHANGELOG=$(printf '%s\n' "- Faster message delivery" \
            "- Fixed notifications of new messages" "- New sounds")
        EMOTICONS_DESCRIPTION="Vorn emoticons"
        EMOTICONS_CHANGELOG=$(printf '%s\n' "- New emoticons: smile and surprise" \
            "- Sharper pictures on high-density screens")
        ;;
    *) sandbox_fail "unknown language $1" ;;
    esac
}

# Lays out DIR:
#   messenger/  the installation: vorn (stand-in) + components.txt, fix.sh, vorn-updater, and
#               lib/libvorn-core.so.1, share/readme.txt (replaced), lib/libvorn-legacy.so.0
#               (removed), share/sounds/message.wav (untouched)
#   home/       HOME, with .Vorn/plugins/emoticons/theme.xml (replaced)
#   tmp/        TMPDIR: the updater downloads into tmp/tupdates/
#   www/        core.zip (app 1.1) and emoticons.zip (plugin 1.0), served on port 80
#   catalogue.xml, run/ (server configuration and logs, fix.log)
# With "blocked", a directory stands where emoticons.zip installs a file: that package fails.
# With "new", the catalogue also offers two components that the installation does not have yet,
# to every installation of the project: the plug-in themes 1.0 (themes.zip) and the app
# component voice 1.0 (voice.zip). With "newblocked", as "new", but a directory stands where
# themes.zip installs a file.
# The packages are signed with VORN_SIGNING_KEY when that file exists.
# SANDBOX_PAYLOAD_BYTES adds a file of that many random bytes to core.zip.
sandbox_create() {
    local dir=$1 language=$2 variant=${3:-good}
    case "$dir" in
    /*) ;;
    *) dir=$PWD/$dir ;;
    esac
    case "$dir" in
    *"'"* | *" "*) sandbox_fail "no quotes or blanks in the sandbox path, please: $dir" ;;
    esac
    for program in "$VORN_UPDATER" "$VORN_MESSENGER" "$VORN_UPDATE_SERVER" "$VORN_PACKAGE_BUILDER"; do
        [ -x "$program" ] || sandbox_fail "missing program $program (build first)"
    done
    sandbox_texts "$language"

    SANDBOX=$dir
    SANDBOX_ROOT=$dir/messenger
    SANDBOX_HOME=$dir/home
    SANDBOX_PLUGINS=$dir/home/.Vorn/plugins
    SANDBOX_TMP=$dir/tmp
    SANDBOX_DOWNLOADS=$dir/tmp/tupdates
    SANDBOX_WWW=$dir/www
    SANDBOX_RUN=$dir/run
    SANDBOX_FIX_LOG=$dir/run/fix.log
    # The environment of the programs run on the installation. The updater's own state (its
    # rollout position, reports not sent yet) lies beside the installation, not in it.
    SANDBOX_ENV=(HOME="$SANDBOX_HOME" TMPDIR="$SANDBOX_TMP" XDG_RUNTIME_DIR="$SANDBOX_RUN/xdg"
        XDG_STATE_HOME="$SANDBOX_RUN/state")
    rm -rf "$dir"
    mkdir -p "$SANDBOX_ROOT" "$SANDBOX_PLUGINS" "$SANDBOX_TMP" "$SANDBOX_WWW" "$SANDBOX_RUN"
    mkdir -m 0700 "$SANDBOX_RUN/xdg"

    # The installation as it stands before the update.
    cp "$VORN_MESSENGER" "$SANDBOX_ROOT/vorn"
    cp "$VORN_UPDATER" "$SANDBOX_ROOT/vorn-updater"
    sandbox_write "$SANDBOX_ROOT/components.txt" "# project name type version" \
        "vorn core app 1.0" "vorn emoticons plugin 0.9"
    sandbox_write "$SANDBOX_ROOT/fix.sh" "#!/bin/sh" \
        "# Stand-in fix-up script: records how the updater called it." \
        "printf 'fix.sh' >>'$SANDBOX_FIX_LOG'" \
        "printf ' [%s]' \"\$@\" >>'$SANDBOX_FIX_LOG'" \
        "echo >>'$SANDBOX_FIX_LOG'"
    sandbox_write "$SANDBOX_ROOT/lib/libvorn-core.so.1" "vorn core library 1.0"
    sandbox_write "$SANDBOX_ROOT/lib/libvorn-legacy.so.0" "vorn legacy library"
    sandbox_write "$SANDBOX_ROOT/share/readme.txt" "Vorn 1.0"
    sandbox_write "$SANDBOX_ROOT/share/sounds/message.wav" "RIFF message sound"
    sandbox_write "$SANDBOX_PLUGINS/emoticons/theme.xml" "<theme version='0.9'/>"
    chmod 0755 "$SANDBOX_ROOT" "$SANDBOX_ROOT/vorn" "$SANDBOX_ROOT/vorn-updater" \
        "$SANDBOX_ROOT/fix.sh"
    chmod 0644 "$SANDBOX_ROOT/components.txt" "$SANDBOX_ROOT/lib/libvorn-core.so.1" \
        "$SANDBOX_ROOT/lib/libvorn-legacy.so.0" "$SANDBOX_ROOT/share/readme.txt" \
        "$SANDBOX_ROOT/share/sounds/message.wav" "$SANDBOX_PLUGINS/emoticons/theme.xml"
    # Installed plug-in files take this mode (the mode of their installation directory).
    chmod 0750 "$SANDBOX_PLUGINS"

    # The new files.
    local new=$dir/new
    sandbox_write "$new/core/lib/libvorn-core.so.1" "vorn core library 1.1"
    sandbox_write "$new/core/share/readme.txt" "Vorn 1.1"
    sandbox_write "$new/core/share/whatsnew.txt" "$CORE_CHANGELOG"
    if [ "${SANDBOX_PAYLOAD_BYTES:-0}" -gt 0 ]; then
        head -c "$SANDBOX_PAYLOAD_BYTES" /dev/urandom >"$new/core/lib/libvorn-media.so.1"
    fi
    sandbox_write "$new/emoticons/emoticons/theme.xml" "<theme version='1.0'/>"
    sandbox_write "$new/emoticons/emoticons/smile.svg" "<svg><circle r='8'/></svg>"

    if [ "$variant" = blocked ]; then
        rm "$SANDBOX_PLUGINS/emoticons/theme.xml"
        sandbox_write "$SANDBOX_PLUGINS/emoticons/theme.xml/keep.txt" "in the way"
    fi
    local offered=()
    case "$variant" in
    new | newblocked) offered=(themes voice) ;;
    esac
    sandbox_write "$new/themes/themes/dark.xml" "<theme name='dark'/>"
    sandbox_write "$new/voice/lib/libvorn-voice.so.1" "vorn voice library 1.0"
    if [ "$variant" = newblocked ]; then
        sandbox_write "$SANDBOX_PLUGINS/themes/dark.xml/keep.txt" "in the way"
    fi
    local sign=(--unsigned)
    [ -f "$VORN_SIGNING_KEY" ] && sign=(--sign "$VORN_SIGNING_KEY")
    {
        echo "<catalogue>"
        "$VORN_PACKAGE_BUILDER" "$new/core" --project vorn --name core --type app \
            --version 1.1 --link http://127.0.0.1/core.zip --output "$SANDBOX_WWW/core.zip" \
            --remove lib/libvorn-legacy.so.0 --description "$CORE_DESCRIPTION" \
            --changelog "$CORE_CHANGELOG" --author "Vorn" --timestamp 1700000000 "${sign[@]}"
        "$VORN_PACKAGE_BUILDER" "$new/emoticons" --project vorn --name emoticons --type plugin \
            --version 1.0 --link http://127.0.0.1/emoticons.zip \
            --output "$SANDBOX_WWW/emoticons.zip" --description "$EMOTICONS_DESCRIPTION" \
            --changelog "$EMOTICONS_CHANGELOG" --author "Vorn" --timestamp 1700000000 "${sign[@]}"
        local component type
        for component in "${offered[@]}"; do
            type=plugin
            [ "$component" = voice ] && type=app
            "$VORN_PACKAGE_BUILDER" "$new/$component" --project vorn --name "$component" \
                --type "$type" --version 1.0 --link "http://127.0.0.1/$component.zip" \
                --output "$SANDBOX_WWW/$component.zip" --description "Vorn $component" \
                --changelog "- New: $component" --author "Vorn" --timestamp 1700000000 \
                --offer-always "${sign[@]}"
        done
        echo "</catalogue>"
    } >"$dir/catalogue.xml"
}

# Waits until COMMAND succeeds, trying every 50 ms for at most SECONDS.
sandbox_wait_for() {
    local seconds=$1 tries
    shift
    for ((tries = seconds * 20; tries > 0; --tries)); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

sandbox_port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

sandbox_alive() {
    kill -0 "$1" 2>/dev/null
}

# sandbox_start_servers [RATE] [INSTANCES]: nginx serves the packages on port 80 (at most RATE
# bytes a second, 0 for no limit). One update server listens on port 443; with INSTANCES, that
# many listen on ports 8443, 8444, ... behind nginx's stream proxy on port 443, as
# tools/updateserver/nginx-stream.conf lays out. Their logs all go to update-server.log.
# SANDBOX_SERVER_OPTIONS (an array) holds more options for every update server.
sandbox_start_servers() {
    local rate=${1:-0} instances=${2:-0} i port stream="" module=""
    SANDBOX_SERVER_PIDS=""
    mkdir -p "$SANDBOX_RUN/nginx"
    if [ "$instances" -gt 0 ]; then
        module="load_module /usr/lib/nginx/modules/ngx_stream_module.so;"
        stream="stream {
    upstream vorn_update_servers {"
        for ((i = 0; i < instances; i++)); do
            stream="$stream
        server 127.0.0.1:$((8443 + i)) max_fails=1 fail_timeout=10s;"
        done
        stream="$stream
    }
    server {
        listen 127.0.0.1:443 backlog=4096;
        proxy_pass vorn_update_servers;
        proxy_connect_timeout 1s;
        proxy_timeout 60s;
        proxy_next_upstream on;
        proxy_next_upstream_tries 2;
    }
}"
    fi
    cat >"$SANDBOX_RUN/nginx.conf" <<EOF
$module
# In a private user namespace nginx may not hand its directories to another user.
user root;
daemon off;
master_process off;
worker_processes 1;
pid $SANDBOX_RUN/nginx/nginx.pid;
error_log $SANDBOX_RUN/nginx-error.log;
events { worker_connections 1024; }
$stream
http {
    client_body_temp_path $SANDBOX_RUN/nginx/client;
    proxy_temp_path $SANDBOX_RUN/nginx/proxy;
    fastcgi_temp_path $SANDBOX_RUN/nginx/fastcgi;
    uwsgi_temp_path $SANDBOX_RUN/nginx/uwsgi;
    scgi_temp_path $SANDBOX_RUN/nginx/scgi;
    log_format requests '\$request_method \$uri \$status';
    access_log $SANDBOX_RUN/nginx-access.log requests;
    default_type application/zip;
    sendfile on;
    server {
        listen 127.0.0.1:80;
        root $SANDBOX_WWW;
        limit_rate $rate;
    }
}
EOF
    local reply_key=()
    [ -f "$VORN_REPLY_KEY" ] && reply_key=(--reply-key "$VORN_REPLY_KEY")
    nginx -e "$SANDBOX_RUN/nginx-error.log" -p "$SANDBOX_RUN/nginx" -c "$SANDBOX_RUN/nginx.conf" &
    SANDBOX_NGINX_PID=$!
    SANDBOX_PIDS="$SANDBOX_PIDS $SANDBOX_NGINX_PID"
    : >"$SANDBOX_RUN/update-server.log"
    for ((i = 0; i < (instances > 0 ? instances : 1); i++)); do
        port=$((instances > 0 ? 8443 + i : 443))
        # Behind nginx every client has nginx's address: no bound per address.
        "$VORN_UPDATE_SERVER" --catalogue "$SANDBOX/catalogue.xml" --listen 127.0.0.1 \
            --port "$port" "${reply_key[@]}" \
            --max-connections-per-address "$((instances > 0 ? 0 : 32))" \
            ${SANDBOX_SERVER_OPTIONS[@]+"${SANDBOX_SERVER_OPTIONS[@]}"} \
            2>>"$SANDBOX_RUN/update-server.log" &
        SANDBOX_SERVER_PIDS="$SANDBOX_SERVER_PIDS $!"
        SANDBOX_PIDS="$SANDBOX_PIDS $!"
    done

    if ! sandbox_wait_for 10 sandbox_port_open 80 || ! sandbox_alive "$SANDBOX_NGINX_PID"; then
        cat "$SANDBOX_RUN/nginx-error.log" >&2 || true
        sandbox_fail "nginx did not start"
    fi
    if ! sandbox_wait_for 10 sandbox_servers_listening "$((instances > 0 ? instances : 1))"; then
        cat "$SANDBOX_RUN/update-server.log" >&2 || true
        sandbox_fail "the update server did not start"
    fi
}

sandbox_servers_listening() {
    [ "$(grep -c "listening on" "$SANDBOX_RUN/update-server.log")" -ge "$1" ]
}

sandbox_stop_servers() {
    sandbox_stop $SANDBOX_PIDS
    SANDBOX_PIDS=""
}

sandbox_stop_display() {
    sandbox_stop $SANDBOX_DISPLAY_PIDS
    SANDBOX_DISPLAY_PIDS=""
}

sandbox_stop() {
    local pid
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "$@"; do
        wait "$pid" 2>/dev/null || true
    done
}

# Starts Xvfb and the openbox window manager, as a user's desktop has one, and exports DISPLAY.
# Inside the private network namespace. sandbox_stop_display ends both.
sandbox_start_display() {
    local displayfd
    displayfd=$(mktemp)
    # -displayfd: Xvfb picks a free display and names it once it accepts clients.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$displayfd" \
        2>"$displayfd.log" &
    SANDBOX_DISPLAY_PIDS="$!"
    if ! sandbox_wait_for 20 test -s "$displayfd"; then
        cat "$displayfd.log" >&2
        rm -f "$displayfd" "$displayfd.log"
        sandbox_fail "Xvfb did not start"
        return 1
    fi
    DISPLAY=:$(head -n1 "$displayfd")
    export DISPLAY
    rm -f "$displayfd" "$displayfd.log"
    openbox --sm-disable >/dev/null 2>&1 &
    SANDBOX_DISPLAY_PIDS="$! $SANDBOX_DISPLAY_PIDS"
    # The window manager announces itself on the root window once it manages windows.
    sandbox_wait_for 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
        sandbox_fail "the window manager did not start"
}

# Runs the sandbox's copy of the updater on the sandbox's installation; returns its exit code.
# SANDBOX_TIMEOUT (seconds) bounds the run.
sandbox_run_updater() {
    sandbox_run vorn-updater "$@"
}

# Runs PROGRAM of the installation as the updater runs: with -root, HOME and TMPDIR.
sandbox_run() {
    local program=$1
    shift
    env "${SANDBOX_ENV[@]}" timeout "${SANDBOX_TIMEOUT:-0}" "$SANDBOX_ROOT/$program" \
        -root "$SANDBOX_ROOT" "$@"
}

# Lists DIR recursively, sorted: "d MODE - PATH" for directories, "f MODE SHA256 PATH" for
# files, "l - TARGET PATH" for symbolic links.
sandbox_listing() {
    (
        cd "$1" || exit
        # The updater's lock file stays in the installation from its first run on.
        find . -mindepth 1 ! -name .vorn-updater.lock -printf '%y %m %P\n' | LC_ALL=C sort -k3 |
            while read -r kind mode path; do
                case "$kind" in
                d) echo "d $mode - $path" ;;
                f) echo "f $mode $(sha256sum <"$path" | cut -c1-64) $path" ;;
                l) echo "l - $(readlink "$path") $path" ;;
                *) echo "$kind $mode - $path" ;;
                esac
            done
    )
}

# Lists the files under DIR (directories stay after the updater has emptied them).
sandbox_files() {
    (cd "$1" && find . -mindepth 1 ! -type d -printf '%P\n' | LC_ALL=C sort)
}

# Describes how listing AFTER differs from listing BEFORE, one line per path.
sandbox_changes() {
    LC_ALL=C join -1 4 -2 4 -a 1 -a 2 -e NONE -o '0,1.1,1.2,1.3,2.1,2.2,2.3' \
        <(LC_ALL=C sort -k4 "$1") <(LC_ALL=C sort -k4 "$2") |
        awk '{
            path = $1
            if ($5 == "NONE") { printf "  removed   %s (was mode %s)\n", path, $3; next }
            if ($2 == "NONE") { printf "  added     %s (mode %s, sha256 %s)\n", path, $6, $7; next }
            if ($4 != $7) { printf "  replaced  %s (mode %s -> %s, sha256 %.12s... -> %.12s...)\n", path, $3, $6, $4, $7; next }
            if ($3 != $6) { printf "  mode      %s (%s -> %s)\n", path, $3, $6 }
        }'
}
