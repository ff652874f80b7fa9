#!/bin/sh
# Installs what is missing, builds the updater into build/ and runs every test.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure
