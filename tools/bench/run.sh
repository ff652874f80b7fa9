#!/bin/sh
# Measures the updater against the tools a user would otherwise reach for (curl, unzip and cp,
# a minimal Qt program) and prints a table of medians and ratios. See "Benchmarks" in README.md.
#
#   sh tools/bench/run.sh [--quick] [--no-build] [--runs N] [--dir SCRATCH] [--only LIST]
#
# --quick     smaller packages, for a check of the set-up in a minute or two
# --no-build  use what build-bench holds
# --runs N    runs per figure (at least 5; the start-up takes twice as many)
# --dir DIR   scratch directory on a real disk (default: $TMPDIR or /var/tmp, + /vorn-bench);
#             generated data is kept there and reused by the next run
# --only LIST scenarios to run, comma-separated: download, install, check, startup, patch,
#             load, soak (1,000 update cycles with combined faults, tools/soak/soak.py)
#             (default: all)
# --remeasure build and diff the release pairs again with our builder (their figures are kept
#             otherwise); the peers' figures are kept all the same, since they depend on the
#             pair alone and take hours of one core on the largest pairs
# --remeasure-peers  diff the release pairs with the peers again too
set -eu
cd "$(dirname "$0")/../.."
repo=$(pwd)

quick=0
build=1
remeasure=0
remeasure_peers=0
runs=5
scratch="${TMPDIR:-/var/tmp}/vorn-bench"
only="download,install,check,startup,patch,load,soak"
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --no-build) build=0 ;;
    --runs) runs="$2"; shift ;;
    --dir) scratch="$2"; shift ;;
    --only) only="$2"; shift ;;
    --remeasure) remeasure=1 ;;
    --remeasure-peers) remeasure_peers=1 ;;
    *) echo "usage: sh tools/bench/run.sh [--quick] [--no-build] [--runs N] [--dir SCRATCH]" \
            "[--only download,install,check,startup,patch,load,soak] [--remeasure] [--remeasure-peers]" >&2
       exit 2 ;;
    esac
    shift
done
if [ "$runs" -lt 5 ]; then
    echo "run.sh: a median needs at least 5 runs" >&2
    exit 2
fi

missing=""
for tool in curl unzip nginx unshare ip awk stress-ng python3; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    sh scripts/install-dependencies.sh
    missing=""
    for tool in curl unzip stress-ng python3; do
        command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
    done
    if [ -n "$missing" ]; then
        echo "run.sh: missing:$missing (Debian packages curl, unzip, stress-ng, python3)" >&2
        exit 1
    fi
fi

if [ "$build" -eq 1 ]; then
    # Built as users get it, trusting a key of its own.
    public_key=$(sh scripts/signing-key.sh build-bench/signing.key)
    reply_key=$(sh scripts/signing-key.sh build-bench/reply.key reply)
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORN_PACKAGE_PUBLIC_KEYS="$public_key" -DVORN_REPLY_PUBLIC_KEYS="$reply_key" >/dev/null
    cmake --build build-bench -j"$(nproc)" --target vorn_bench
    case ",$only," in
    *,soak,*) cmake --build build-bench -j"$(nproc)" --target vorn-updater vorn_uidriver \
        vorn_fileops vorn-package-builder vorn-update-server vorn_messenger_standin ;;
    esac
fi

mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
# Memory-backed directories would hide the cost of writing to disk.
if [ "$(stat -f -c %T "$scratch")" = "tmpfs" ]; then
    echo "run.sh: $scratch is a tmpfs; choose a directory on a disk with --dir" >&2
    exit 1
fi

if [ "$quick" -eq 1 ]; then
    download_sizes="16777216 134217728"       # 16 MiB, 128 MiB
    install_files=1000
    install_bytes=30000000
else
    download_sizes="104857600 1073741824"     # 100 MiB, 1 GiB
    install_files=10000
    install_bytes=300000000
fi
reply_requests=10000

bench="$repo/build-bench/tools/bench"
data="$scratch/data"
mkdir -p "$data"

# Generated once per size; a later run finds them.
for size in $download_sizes; do
    if [ ! -f "$data/blob-$size" ] || [ "$(stat -c %s "$data/blob-$size")" != "$size" ]; then
        echo "generating a package of $size bytes"
        "$bench/vorn-bench-generate" blob "$data/blob-$size.part" "$size"
        mv "$data/blob-$size.part" "$data/blob-$size"
    fi
    if [ ! -f "$data/blob-$size.sha256" ] || [ "$data/blob-$size.sha256" -ot "$data/blob-$size" ]; then
        sha256sum "$data/blob-$size" | cut -d' ' -f1 >"$data/blob-$size.sha256"
    fi
done
tree="$data/tree-$install_files-$install_bytes"
if [ ! -f "$tree/done" ]; then
    echo "generating $install_files files and their package"
    rm -rf "$tree"
    mkdir -p "$tree"
    "$bench/vorn-bench-generate" tree "$tree/new" "$tree/old" "$tree/replaced.txt" \
        "$install_files" "$install_bytes" >/dev/null
    "$repo/build-bench/tools/packagebuilder/vorn-package-builder" "$tree/new" \
        --project vorn --name core --type app --version 2.0 \
        --link http://127.0.0.1/core.zip --output "$tree/core.zip" --unsigned >/dev/null
    touch "$tree/done"
fi

# Patch packages of real release pairs that nobody here wrote, fetched once from Debian (the
# only step that uses the network): NAME@OLD@NEW@KIND, two versions that apt-cache policy lists;
# KIND "point" holds the pair to the goals for point releases.
patch_pairs="libssl3@3.0.20-1~deb12u2@3.0.22-1~deb12u2@point
libcurl4@7.88.1-10+deb12u5@7.88.1-10+deb12u15@point
thunderbird@1:140.12.0esr-1~deb12u1@1:153.8.0esr-1~deb12u1@major
firefox-esr@140.12.0esr-1~deb12u1@153.8.0esr-1~deb12u1@major
chromium@150.0.7871.100-1~deb12u1@156.0.8078.129-1~deb12u1@major"
[ "$quick" -eq 1 ] && patch_pairs=$(echo "$patch_pairs" | grep -v '@major$')
# bsdiff sorts the suffixes of the whole old file: about 17 times its size in memory and half an
# hour of one core for a library of 150 MB. Larger files are left to zstd, and the table says
# how many were.
bsdiff_cap=$((128 << 20))
patches="$scratch/patches.txt"
: >"$patches"
# without_foreign_links DIR: removes the links of DIR that the package builder refuses, as a
# publisher would leave them out: Debian's trees link to other packages' files
# (/usr/share/hunspell, say) and name directories by links.
without_foreign_links() {
    root=$(realpath "$1")
    find "$root" -type l | while read -r link; do
        target=$(realpath -m "$link")
        case "$(readlink "$link")" in
        /*) ;;
        *) case "$target" in "$root"/*) [ -f "$target" ] && continue ;; esac ;;
        esac
        rm "$link"
    done
}
# timed OUT COMMAND...: the seconds COMMAND takes; its output goes to OUT.
timed() {
    out=$1
    shift
    start=$(date +%s.%N)
    "$@" >"$out"
    awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }'
}
# measure_peers DIR: diffs every changed file of the pair in DIR with the peers and prints their
# figures on one line: bsdiff's bytes, zstd's, the smaller of the two file by file, xdelta3's,
# the seconds bspatch takes, whole-file zstd's bytes, the smaller of bsdiff and it file by file,
# and how many files were over bsdiff's cap.
measure_peers() {
    bsdiff_bytes=0
    xdelta_bytes=0
    zstd_bytes=0
    best_bytes=0
    whole_bytes=0
    whole_best_bytes=0
    over_cap=0
    rm -rf "$1/peer"
    # Every changed file, a link to a file counting as that file, as the builder packs it; but, as
    # the builder does, not a link with the same text in both releases, which follows its file.
    for file in $(cd "$1/new" && find -L . -type f | sort); do
        [ -f "$1/old/$file" ] && ! cmp -s "$1/old/$file" "$1/new/$file" || continue
        [ -L "$1/old/$file" ] \
            && [ "$(readlink "$1/old/$file")" = "$(readlink "$1/new/$file")" ] && continue
        mkdir -p "$(dirname "$1/peer/$file")"
        xdelta3 -9 -f -e -s "$1/old/$file" "$1/new/$file" "$1/peer.xdelta"
        xdelta_bytes=$((xdelta_bytes + $(stat -c %s "$1/peer.xdelta")))
        zstd -q -f -19 --long --patch-from="$1/old/$file" "$1/new/$file" \
            -o "$1/peer.zst" 2>/dev/null
        z=$(stat -c %s "$1/peer.zst")
        # With the window over the whole old file, however large.
        zstd -q -f -19 --long=31 --patch-from="$1/old/$file" "$1/new/$file" \
            -o "$1/peer.zst" 2>/dev/null
        w=$(stat -c %s "$1/peer.zst")
        if [ "$(stat -c %s "$1/old/$file")" -le "$bsdiff_cap" ]; then
            bsdiff "$1/old/$file" "$1/new/$file" "$1/peer/$file.bsdiff"
            b=$(stat -c %s "$1/peer/$file.bsdiff")
        else
            b=$w
            over_cap=$((over_cap + 1))
        fi
        bsdiff_bytes=$((bsdiff_bytes + b))
        zstd_bytes=$((zstd_bytes + z))
        whole_bytes=$((whole_bytes + w))
        best_bytes=$((best_bytes + (b < z ? b : z)))
        whole_best_bytes=$((whole_best_bytes + (b < w ? b : w)))
    done
    bspatched=$(timed /dev/null sh -c 'cd "$1/peer" && find . -name "*.bsdiff" | while read -r p; do
        f=${p%.bsdiff}; bspatch "$1/old/$f" "$1/peer/$f.new" "$p" || exit 1; done' sh "$1")
    rm -rf "$1/peer" "$1/peer.xdelta" "$1/peer.zst"
    echo "$bsdiff_bytes|$zstd_bytes|$best_bytes|$xdelta_bytes|$bspatched|$whole_bytes|$whole_best_bytes|$over_cap"
}
case ",$only," in
*,patch,*)
    for tool in bsdiff bspatch xdelta3 zstd apt-get dpkg-deb; do
        command -v "$tool" >/dev/null 2>&1 || {
            echo "run.sh: patch packages need $tool (Debian packages bsdiff, xdelta3, zstd); skipped" >&2
            patch_pairs=""
        }
    done
    for pair in $patch_pairs; do
        set -- $(echo "$pair" | tr '@' ' ')
        dir="$data/pair-$1-$2-$3"
        if [ ! -f "$dir/done" ]; then
            rm -rf "$dir"
            mkdir -p "$dir/debs" "$dir/old" "$dir/new"
            if ! (cd "$dir/debs" && apt-get download -qq "$1=$2" "$1=$3" 2>/dev/null); then
                echo "run.sh: $1 $2 or $3 is no longer in the archive; choose another pair" >&2
                continue
            fi
            # apt writes an epoch's colon as %3a in the file name.
            dpkg-deb -x "$dir/debs/$1_"*"${2#*:}_"*.deb "$dir/old"
            dpkg-deb -x "$dir/debs/$1_"*"${3#*:}_"*.deb "$dir/new"
            touch "$dir/done"
        fi
        # The sizes and times of an earlier run, unless --remeasure or --remeasure-peers.
        if [ -f "$dir/figures.txt" ] && [ "$remeasure" -eq 0 ] && [ "$remeasure_peers" -eq 0 ]; then
            echo "patch packages: $1 $2 -> $3, as measured on $(date -r "$dir/figures.txt" +%F)" >&2
            cat "$dir/figures.txt" >>"$patches"
            continue
        fi
        echo "patch packages: $1 $2 -> $3" >&2
        without_foreign_links "$dir/old"
        without_foreign_links "$dir/new"
        builder="$repo/build-bench/tools/packagebuilder/vorn-package-builder"
        "$builder" "$dir/new" --project vorn --name core --type app --version 2.0 \
            --link http://127.0.0.1/full.zip --output "$dir/full.zip" --unsigned >"$dir/full.entry"
        "$bench/vorn-bench-measured" "$dir/patch.entry" "$builder" "$dir/new" \
            --patch-from "$dir/old" --from-version 1.0 --project vorn --name core --type app \
            --version 2.0 --link http://127.0.0.1/patch.zip --output "$dir/patch.zip" --unsigned \
            >"$dir/built.txt"
        applied=$(timed /dev/null env QT_QPA_PLATFORM=offscreen "$bench/vorn-bench-install" rebuild "$dir/patch.zip" \
            http://127.0.0.1/patch.zip "$dir/old" "$dir/rebuilt")
        rm -rf "$dir/rebuilt"
        # The peers' figures depend on the pair alone: measured once, unless --remeasure-peers.
        if [ ! -f "$dir/peers.txt" ] || [ "$remeasure_peers" -eq 1 ]; then
            echo "patch packages: the peers on $1 $2 -> $3" >&2
            measure_peers "$dir" >"$dir/peers.part"
            mv "$dir/peers.part" "$dir/peers.txt"
        fi
        IFS='|' read -r bsdiff_bytes zstd_bytes best_bytes xdelta_bytes bspatched whole_bytes \
            whole_best_bytes over_cap <"$dir/peers.txt"
        echo "$1 $2 -> $3|$(stat -c %s "$dir/full.zip")|$(stat -c %s "$dir/patch.zip")|$bsdiff_bytes|$zstd_bytes|$best_bytes|$xdelta_bytes|$(sed -n 's/^seconds=//p' "$dir/built.txt")|$(sed -n 's/^peak_kib=//p' "$dir/built.txt")|$applied|$bspatched|$dir|$4|$whole_bytes|$whole_best_bytes|$over_cap" >"$dir/figures.txt"
        cat "$dir/figures.txt" >>"$patches"
    done
    ;;
esac

# The fault soak: its own namespaces, its own table.
case ",$only," in
*,soak,*)
    cycles=1000
    [ "$quick" -eq 1 ] && cycles=100
    python3 tools/soak/soak.py --build-dir build-bench --cycles "$cycles" --seed 1 \
        --work "$scratch/soak" >"$scratch/soak.txt" || true
    sed -n '/^| Cycles/,$p' "$scratch/soak.txt"
    ;;
esac

export BENCH_REPO="$repo" BENCH_BIN="$bench" BENCH_SCRATCH="$scratch" BENCH_RUNS="$runs" \
    BENCH_DOWNLOAD_SIZES="$download_sizes" BENCH_TREE="$tree" \
    BENCH_REPLY_REQUESTS="$reply_requests" BENCH_ONLY=",$only," BENCH_PATCHES="$patches" QT_QPA_PLATFORM=offscreen \
    XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
# Ports 80 and 443 on a loopback of our own: nothing leaves the machine, no root needed.
exec unshare --net --map-root-user sh -c 'ip link set lo up && exec "$@"' sh \
    sh "$repo/tools/bench/measure.sh"
