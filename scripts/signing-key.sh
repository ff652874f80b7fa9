#!/bin/sh
# Makes a signing key for PURPOSE in KEYFILE, unless the file exists, and prints its public key:
# for a package key (the default) vorn-package-key:<base64>, the value of the build setting
# VORN_PACKAGE_PUBLIC_KEYS; for the update server's reply key vorn-reply-key:<base64>, of
# VORN_REPLY_PUBLIC_KEYS. The file is the one that `vorn-package-builder --generate-key` (or
# --generate-reply-key) writes (mode 0600: a comment naming the purpose, one naming the public
# key, then the base64 of the Ed25519 key's 32-byte seed), made here with OpenSSL so that a key
# exists before anything is built. Sign packages with `vorn-package-builder --sign KEYFILE`,
# replies with `vorn-update-server --reply-key KEYFILE`; never one key for both. A key file
# written before keys named their purpose is taken for the PURPOSE asked for.
#
# usage: sh scripts/signing-key.sh KEYFILE [package|reply]
set -eu
usage="usage: sh scripts/signing-key.sh KEYFILE [package|reply]"
key=${1:?$usage}
purpose=${2:-package}
case "$purpose" in
package) other=reply ;;
reply) other=package ;;
*)
    echo "signing-key.sh: the purpose is package or reply, not \"$purpose\"; $usage" >&2
    exit 1
    ;;
esac

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
        printf '%s\n' "# Vorn $purpose signing key (Ed25519). Keep this file secret." \
            "# Public key: vorn-$purpose-key:$public" "$seed" >"$key.new"
    )
    mv "$key.new" "$key"
fi
public=$(sed -n 's/^# Public key: //p' "$key")
case "$public" in
vorn-$purpose-key:*) echo "$public" ;;
vorn-$other-key:*)
    echo "signing-key.sh: $key is a $other key; give a $purpose key, or a new file to make one" >&2
    exit 1
    ;;
"" | *[!A-Za-z0-9+/=]*)
    echo "signing-key.sh: $key is not a key file made by this script or vorn-package-builder" >&2
    exit 1
    ;;
*) echo "vorn-$purpose-key:$public" ;;
esac
