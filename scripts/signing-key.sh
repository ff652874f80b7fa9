#!/bin/sh
# Makes a signing key in KEYFILE, unless the file exists, and prints its public key (base64):
# for a package key, the value of the build setting VORN_PACKAGE_PUBLIC_KEYS; for the update
# server's reply key, of VORN_REPLY_PUBLIC_KEYS. The file is the one that
# `vorn-package-builder --generate-key` writes (mode 0600: a comment naming the public key, then
# the base64 of the Ed25519 key's 32-byte seed), made here with OpenSSL so that a key exists
# before anything is built. Sign packages with `vorn-package-builder --sign KEYFILE`, replies
# with `vorn-update-server --reply-key KEYFILE`; never one key for both.
#
# usage: sh scripts/signing-key.sh KEYFILE
set -eu
key=${1:?usage: sh scripts/signing-key.sh KEYFILE}

if [ ! -e "$key" ]; then
    mkdir -p "$(dirname "$key")"
    der=$(mktemp)
    trap 'rm -f "$der" "$key.new"' EXIT
    (umask 077 && openssl genpkey -algorithm ed25519 -outform DER -out "$der")
    # A PKCS#8 Ed25519 key and its SubjectPublicKeyInfo end with the raw 32 bytes.
    seed=$(tail -c 32 "$der" | base64 -w0)
    public=$(openssl pkey -inform DER -in "$der" -pubout -outform DER | tail -c 32 | base64 -w0)
    (
        umask 077
        printf '%s\n' "# Vorn package signing key (Ed25519). Keep this file secret." \
            "# Public key: $public" "$seed" >"$key.new"
    )
    mv "$key.new" "$key"
fi
sed -n 's/^# Public key: //p' "$key"
