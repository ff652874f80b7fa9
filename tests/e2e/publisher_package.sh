#!/bin/sh
# The publisher's Debian package as a publisher gets it. It is packed as tools/README.md says
# (`cmake --build BUILD --target vorn-publisher`, then cpack) and carries the project's version,
# its conffiles and maintainer scripts. Then, in a container booted with systemd
# (systemd-nspawn on a throw-away overlay of this machine's root, with loopback alone for a
# network), `apt-get install ./file.deb` installs it; the reply key made on installation is the
# service's alone and the one its server signs with; systemd accepts the units; the service and
# an instance answer with the release the installed builder signed; a rotated reply key takes
# effect with the documented commands; and purging takes everything away. Where no container
# boots, the same runs on this machine without systemd, the server started by hand.
# Needs root; skipped (77) without it, or when vorn-publisher is installed already, which this
# test must not disturb.
#
# usage: publisher_package.sh BUILD_DIR WORK_DIR   (VORN_LOAD: the wave driver; VORN_VERSION:
#        the project's version)
# The test runs itself again: --container SHARED_DIR VERSION boots the container (in a mount
# namespace of its own), --installed SHARED_DIR VERSION does the checks on the system that
# installs.
set -eu

fail() {
    echo "FAIL  $*"
    exit 1
}

# How tools/README.md says to make a new reply key and put it in place; prints its public key.
rotate_reply_key() {
    vorn-package-builder --generate-reply-key /etc/vorn-update-server/reply.key.new
    chown vorn-update-server: /etc/vorn-update-server/reply.key.new
    mv /etc/vorn-update-server/reply.key.new /etc/vorn-update-server/reply.key
}

# Waits up to five seconds for the journal of unit $1 to hold $2.
wait_for_journal() {
    tries=0
    until journalctl -q -o cat -u "$1" | grep -qF -- "$2"; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || return 1
        sleep 0.05
    done
}

installed_checks() {
    shared=$1 version=$2
    load=$shared/vorn-bench-load
    deb=$(ls "$shared"/vorn-publisher_*.deb)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
        >"$shared/install.log" 2>&1 || fail "apt-get install: $(tail -n 5 "$shared/install.log")"
    [ "$(dpkg-query -W -f='${Version}' vorn-publisher)" = "$version" ] \
        || fail "dpkg knows vorn-publisher as $(dpkg-query -W -f='${Version}' vorn-publisher)"
    dpkg-query -W -f='${Conffiles}\n' vorn-publisher | grep -q "^ /etc/default/vorn-update-server " \
        || fail "/etc/default/vorn-update-server is not a conffile"
    echo "ok    $(basename "$deb") installs with apt-get, version $version"

    # The reply key, made on installation: the service's user's alone, and its public key printed.
    key=/etc/vorn-update-server/reply.key
    [ "$(stat -c '%a %U %G' "$key")" = "600 vorn-update-server vorn-update-server" ] \
        || fail "$key: $(stat -c '%a %U %G' "$key" 2>&1)"
    # apt-get may run dpkg on a terminal, whose lines end with a carriage return.
    public=$(tr -d '\r' <"$shared/install.log" | sed -n 's/.*-DVORN_REPLY_PUBLIC_KEYS=//p')
    [ -n "$public" ] || fail "the installation printed no public key: $(cat "$shared/install.log")"
    echo "ok    the installation made $key (600, vorn-update-server) and printed $public"

    for unit in vorn-update-server.service vorn-update-server@8443.service; do
        systemd-analyze verify "/usr/lib/systemd/system/$unit" || fail "systemd-analyze verify $unit"
    done
    echo "ok    systemd-analyze verify accepts both units"

    # Hardened: systemd rates what the service may do at 2.0 at most (0 is a service that may do
    # nothing, 10 one that may do everything), and it starts the server it was installed with.
    for unit in vorn-update-server.service vorn-update-server@.service; do
        file=/usr/lib/systemd/system/$unit
        exposure=$(systemd-analyze security --offline=true "$file" 2>/dev/null \
            | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
        [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' \
            || fail "systemd-analyze security rates $unit ${exposure:-(no rating)}, more than 2.0"
        grep -q "^ExecStart=/usr/bin/vorn-update-server " "$file" \
            || fail "$unit does not start /usr/bin/vorn-update-server"
        echo "ok    $unit: exposure $exposure, ExecStart=/usr/bin/vorn-update-server"
    done

    # The installed builder publishes a signed release; the installed server offers it, as
    # the installed stand-in messenger's component list asks, and signs with the key made above.
    mkdir -p "$shared/release/bin"
    echo "release 2.0" >"$shared/release/bin/im-client"
    vorn-package-builder --generate-key "$shared/signing.key" >/dev/null 2>&1
    vorn-package-builder "$shared/release" --project vorn --name core --type app \
        --version 2.0 --link http://127.0.0.1/core.zip --sign "$shared/signing.key" \
        --output "$shared/core.zip" >"$shared/entry.xml"
    printf '<catalogue>\n%s\n</catalogue>\n' "$(cat "$shared/entry.xml")" \
        >/etc/vorn-update-server/catalogue.xml
    [ -x /usr/lib/vorn-publisher/vorn ] && [ -f /usr/lib/vorn-publisher/components.txt ] \
        || fail "the stand-in messenger is missing"
    if [ -d /run/systemd/system ]; then
        systemctl start vorn-update-server vorn-update-server@8443 \
            || fail "the services do not start: $(systemctl status vorn-update-server 'vorn-update-server@*' 2>&1)"
        for unit in vorn-update-server vorn-update-server@8443; do
            wait_for_journal "$unit" "replies signed with $public" \
                || fail "$unit does not sign with the installed key: $(journalctl -o cat -u "$unit")"
        done
        for port in 443 8443; do
            "$load" 127.0.0.1 "$port" 1 10 --count 1 --expect "<version>2.0</version>" \
                --save "$shared/reply-$port.xml" >"$shared/wave.txt"
            grep -qx "matched.0=1" "$shared/wave.txt" && grep -q "<signature>" "$shared/reply-$port.xml" \
                || fail "port $port: no signed offer of the release: $(cat "$shared/wave.txt")"
        done
        echo "ok    vorn-update-server and vorn-update-server@8443 offer the release, signed with $public"

        new=$(rotate_reply_key 2>/dev/null)
        systemctl reload vorn-update-server 'vorn-update-server@*' || fail "systemctl reload"
        for unit in vorn-update-server vorn-update-server@8443; do
            wait_for_journal "$unit" "reply key reloaded, public key $new" \
                || fail "$unit did not take the new key: $(journalctl -o cat -u "$unit" | tail -n 3)"
        done
        for port in 443 8443; do
            "$load" 127.0.0.1 "$port" 1 10 --count 1 --expect "<version>2.0</version>" \
                >"$shared/wave.txt"
            grep -qx "matched.0=1" "$shared/wave.txt" || fail "port $port: no offer after the reload"
        done
        [ "$(stat -c '%a %U' "$key")" = "600 vorn-update-server" ] || fail "$key after the rotation"
        echo "ok    a rotated reply key takes effect with systemctl reload: $new"

        # A catalogue with a mistake is refused by the reload, and the servers go on with the one
        # that passed.
        cp /etc/vorn-update-server/catalogue.xml "$shared/catalogue.good"
        sed -i 's|127.0.0.1/core.zip|127.0.0.1:8080/core.zip|' /etc/vorn-update-server/catalogue.xml
        ! systemctl reload vorn-update-server 2>/dev/null || fail "a reload took a faulty catalogue"
        journalctl -o cat -u vorn-update-server | grep -q "catalogue.xml:[0-9]*: the link names port 8080" \
            || fail "the journal does not say what is wrong: $(journalctl -o cat -u vorn-update-server | tail -n 3)"
        "$load" 127.0.0.1 443 1 10 --count 1 --expect "<version>2.0</version>" >"$shared/wave.txt"
        grep -qx "matched.0=1" "$shared/wave.txt" || fail "no offer after a refused reload"
        cp "$shared/catalogue.good" /etc/vorn-update-server/catalogue.xml
        echo "ok    a catalogue with a mistake is refused at reload, with its line in the journal"
    else
        unshare --net sh -c '
            ip link set lo up
            runuser -u vorn-update-server -- /usr/bin/vorn-update-server --port 8443 \
                --catalogue /etc/vorn-update-server/catalogue.xml \
                --reply-key /etc/vorn-update-server/reply.key 2>"$1/server.log" &
            tries=0
            until grep -q listening "$1/server.log"; do
                tries=$((tries + 1)); [ "$tries" -lt 100 ] || exit 1; sleep 0.05
            done
            "$2" 127.0.0.1 8443 1 10 --count 1 --expect "<version>2.0</version>" >"$1/wave.txt"
            kill -TERM $!; wait' sh "$shared" "$load" \
            || fail "the installed server did not start: $(cat "$shared/server.log")"
        grep -qx "matched.0=1" "$shared/wave.txt" || fail "the installed server did not offer the release"
        grep -qF "replies signed with $public" "$shared/server.log" \
            || fail "the server does not sign with the installed key: $(cat "$shared/server.log")"
        echo "ok    the installed builder and server publish a release, signed with $public"
    fi

    # Purging leaves nothing of the package, the key, its user and the enabled services' links
    # among it; the catalogue is the publisher's to remove.
    [ -d /run/systemd/system ] && systemctl enable --quiet vorn-update-server vorn-update-server@8443
    rm /etc/vorn-update-server/catalogue.xml
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vorn-publisher >"$shared/purge.log" 2>&1 \
        || fail "apt-get purge: $(tail -n 5 "$shared/purge.log")"
    for path in /usr/bin/vorn-update-server /usr/lib/systemd/system/vorn-update-server.service \
        /etc/vorn-update-server /etc/default/vorn-update-server /var/lib/vorn-update-server \
        /etc/systemd/system/multi-user.target.wants/vorn-update-server.service \
        /etc/systemd/system/multi-user.target.wants/vorn-update-server@8443.service; do
        [ ! -e "$path" ] && [ ! -L "$path" ] || fail "apt-get purge left $path behind"
    done
    ! getent passwd vorn-update-server >/dev/null && ! getent group vorn-update-server >/dev/null \
        || fail "apt-get purge left the user vorn-update-server behind"
    if [ -d /run/systemd/system ]; then
        ! systemctl is-active --quiet vorn-update-server 'vorn-update-server@*' \
            || fail "a service runs after apt-get purge"
    fi
    echo "ok    apt-get purge takes it all away"
}

# Boots this machine's root, on an overlay whose changes stay in memory, with systemd and
# loopback alone; the checks run as a service whose end ends the container with their status.
boot_container() {
    shared=$1 version=$2
    base=$(dirname "$shared")/container
    mkdir -p "$base/rw" "$base/root"
    mount -t tmpfs tmpfs "$base/rw"
    # Locks and the like of systemd-nspawn, in this mount namespace alone.
    mount -t tmpfs tmpfs /run
    mkdir "$base/rw/upper" "$base/rw/work"
    root=$base/root
    mount -t overlay overlay -o "lowerdir=/,upperdir=$base/rw/upper,workdir=$base/rw/work" "$root"
    : >"$root/etc/machine-id"
    # A policy-rc.d, as build images have, would keep the package from stopping its services.
    rm -f "$root/usr/sbin/policy-rc.d"
    cat >"$root/etc/systemd/system/vorn-package-test.service" <<EOF
[Unit]
After=multi-user.target
SuccessAction=exit-force
FailureAction=exit-force
[Service]
Type=oneshot
ExecStart=/bin/sh /vorn-test/publisher_package.sh --installed /vorn-test $version
StandardOutput=append:/vorn-test/installed.log
StandardError=inherit
EOF
    mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
    ln -s /etc/systemd/system/vorn-package-test.service "$root/etc/systemd/system/multi-user.target.wants/"
    status=0
    timeout 150 systemd-nspawn --quiet --register=no --keep-unit --link-journal=no \
        --private-network --bind="$shared:/vorn-test" -D "$root" --machine="vorn-test-$$" -b \
        >"$shared/container.log" 2>&1 || status=$?
    umount "$root" "$base/rw"
    return "$status"
}

case "${1:-}" in
--installed)
    installed_checks "$2" "$3" 2>&1
    exit
    ;;
--container)
    boot_container "$2" "$3"
    exit
    ;;
esac

build=${1:?usage: publisher_package.sh BUILD_DIR WORK_DIR}
work=${2:?usage: publisher_package.sh BUILD_DIR WORK_DIR}
version=${VORN_VERSION:?VORN_VERSION: the project version}

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing a package needs root"
    exit 77
fi
if dpkg-query -W -f='${Status}' vorn-publisher 2>/dev/null | grep -q " installed"; then
    echo "skipped: vorn-publisher is installed on this machine already"
    exit 77
fi
rm -rf "$work"
shared=$work/shared
mkdir -p "$shared"

cmake --build "$build" --target vorn-publisher >"$work/build.log" 2>&1 \
    || fail "cmake --build --target vorn-publisher: $(tail -n 5 "$work/build.log")"
cpack --config "$build/CPackConfig.cmake" -B "$shared" >"$work/cpack.log" 2>&1 \
    || fail "cpack: $(tail -n 5 "$work/cpack.log")"
deb=$(ls "$shared"/vorn-publisher_*.deb)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
    || fail "$(basename "$deb") has version $(dpkg-deb -f "$deb" Version), not $version"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/default/vorn-update-server ] \
    || fail "conffiles: $(dpkg-deb -I "$deb" conffiles 2>&1)"
for script in postinst prerm postrm; do
    dpkg-deb -I "$deb" "$script" | head -n 1 | grep -qx '#!/bin/sh' || fail "no $script"
done
dpkg-deb -c "$deb" | grep " \./etc/vorn-update-server/$" >/dev/null || fail "no /etc/vorn-update-server/"
echo "ok    $(basename "$deb"): version $version, conffiles, maintainer scripts, /etc/vorn-update-server/"

cp "$0" "$shared/publisher_package.sh"
cp "$VORN_LOAD" "$shared/vorn-bench-load"

# The container sees this machine's root file system alone, so /usr, /etc and /var must be on it.
in_container=no
if command -v systemd-nspawn >/dev/null \
    && [ "$(findmnt -n -o TARGET --target /usr)" = / ] \
    && [ "$(findmnt -n -o TARGET --target /etc)" = / ] \
    && [ "$(findmnt -n -o TARGET --target /var)" = / ]; then
    status=0
    unshare --mount --propagation private sh "$0" --container "$shared" "$version" || status=$?
    if [ -s "$shared/installed.log" ]; then
        in_container=yes
        cat "$shared/installed.log"
        [ "$status" -eq 0 ] || fail "in the container (exit status $status)"
    else
        echo "      no container booted (exit status $status): $(tail -n 3 "$shared/container.log")"
    fi
fi
if [ "$in_container" = no ]; then
    echo "      without systemd, on this machine"
    trap 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vorn-publisher >/dev/null 2>&1 || true' EXIT
    installed_checks "$shared" "$version"
fi
