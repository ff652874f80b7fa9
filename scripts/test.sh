#!/bin/sh
# Installs what is missing, builds the updater into build/ and runs every test. The build
# trusts a signing key of its own, made on first use in build/signing.key, with which the
# tests sign the packages they publish.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-dependencies.sh
public_key=$(sh scripts/signing-key.sh build/signing.key)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_PACKAGE_PUBLIC_KEYS="$public_key"
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure
