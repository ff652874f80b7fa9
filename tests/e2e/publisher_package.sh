#!/bin/sh
# The publisher's Debian package as a publisher gets it: `cpack -G DEB` packs the publisher
# component, `apt-get install ./file.deb` installs it, systemd accepts its units, the installed
# builder and server work together, and removing the package takes everything away again.
# Needs root (apt-get); skipped (77) without it, or when vorn-publisher is installed already,
# which this test must not disturb.
#
# usage: publisher_package.sh BUILD_DIR WORK_DIR   (VORN_LOAD: the wave driver)
set -eu
build=${1:?usage: publisher_package.sh BUILD_DIR WORK_DIR}
work=${2:?usage: publisher_package.sh BUILD_DIR WORK_DIR}

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing a package needs root"
    exit 77
fi
if dpkg-query -W -f='${Status}' vorn-publisher 2>/dev/null | grep -q " installed"; then
    echo "skipped: vorn-publisher is installed on this machine already"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work"
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vorn-publisher >/dev/null 2>&1 || true' EXIT

fail() {
    echo "FAIL  $*"
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 \
    || fail "cpack: $(tail -n 5 "$work/cpack.log")"
deb=$(ls "$work"/vorn-publisher_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
    >"$work/install.log" 2>&1 || fail "apt-get install: $(tail -n 5 "$work/install.log")"
echo "ok    $(basename "$deb") installs with apt-get"

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
# the installed stand-in messenger's component list asks.
mkdir -p "$work/release/bin"
echo "release 2.0" >"$work/release/bin/im-client"
/usr/bin/vorn-package-builder --generate-key "$work/signing.key" >/dev/null
/usr/bin/vorn-package-builder "$work/release" --project vorn --name core --type app \
    --version 2.0 --link http://127.0.0.1/core.zip --sign "$work/signing.key" \
    --output "$work/core.zip" >"$work/entry.xml"
printf '<catalogue>\n%s\n</catalogue>\n' "$(cat "$work/entry.xml")" >"$work/catalogue.xml"
unshare --net --map-root-user sh -c '
    ip link set lo up
    /usr/bin/vorn-update-server --catalogue "$1/catalogue.xml" --port 8443 2>"$1/server.log" &
    tries=0
    until grep -q listening "$1/server.log"; do
        tries=$((tries + 1)); [ "$tries" -lt 100 ] || exit 1; sleep 0.05
    done
    "$2" 127.0.0.1 8443 1 10 --count 1 --expect "<version>2.0</version>" >"$1/wave.txt"
    kill -TERM $!; wait' sh "$work" "$VORN_LOAD" || fail "the installed server did not start"
grep -qx "matched.0=1" "$work/wave.txt" || fail "the installed server did not offer the release"
[ -x /usr/lib/vorn-publisher/vorn ] && [ -f /usr/lib/vorn-publisher/components.txt ] \
    || fail "the stand-in messenger is missing"
echo "ok    the installed builder and server publish a signed release"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vorn-publisher >/dev/null 2>&1
[ ! -e /usr/bin/vorn-update-server ] || fail "apt-get remove left the server behind"
echo "ok    apt-get remove takes it away"
