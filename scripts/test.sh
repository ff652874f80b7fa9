#!/bin/sh
# Installs what is missing, builds the updater into build/ and runs every test. The build
# trusts keys of its own, made on first use: build/signing.key, with which the tests sign the
# packages they publish, and build/reply.key, with which their update servers sign replies.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-dependencies.sh
public_key=$(sh scripts/signing-key.sh build/signing.key)
reply_key=$(sh scripts/signing-key.sh build/reply.key reply)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_PACKAGE_PUBLIC_KEYS="$public_key" \
    -DVORN_REPLY_PUBLIC_KEYS="$reply_key"
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure
