#!/usr/bin/env python3
# Prints the known-answer rows of tst_updatecheck's signedReplyFormat from the format that
# tools/README.md gives for the signed reply, with hashlib and the openssl command alone.
import base64
import hashlib
import subprocess
import tempfile

SEED = bytes(range(32))
NONCE = base64.b64encode(bytes(range(32, 64)))
POSITION = 1234
OTHER_NONCES = [base64.b64encode(bytes([n]) * 32) for n in (1, 2)]
QUERY = b'<s><update><component project="vorn" name="core" type="app" version="1.0" /></update></s>'
REPLY = b'<update><request project="vorn" name="core" type="app"><latest/></request></update>'


def sha(data):
    return hashlib.sha256(data).digest()


def statement(nonce, position=None):
    line = b"" if position is None else b"position " + str(position).encode() + b"\n"
    return (b"vorn-reply-statement 1\nnonce " + nonce + b"\n" + line + b"query-sha256 "
            + sha(QUERY).hex().encode() + b"\nreply-sha256 " + sha(REPLY).hex().encode() + b"\n")


def openssl(*arguments):
    return subprocess.run(["openssl", *arguments], stdout=subprocess.PIPE, check=True).stdout


with tempfile.NamedTemporaryFile(suffix=".der") as key:
    # PKCS#8 of an Ed25519 seed.
    key.write(bytes.fromhex("302e020100300506032b657004220420") + SEED)
    key.flush()

    def sign(text):
        # A one-shot signature reads its input from a file.
        with tempfile.NamedTemporaryFile() as message:
            message.write(text)
            message.flush()
            return openssl("pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey", key.name,
                           "-in", message.name)

    public = openssl("pkey", "-inform", "DER", "-in", key.name, "-pubout", "-outform", "DER")[-32:]
    print("key", base64.b64encode(public).decode())
    print("single", base64.b64encode(sign(statement(NONCE))).decode())
    print("position", POSITION, base64.b64encode(sign(statement(NONCE, POSITION))).decode())

    statements = [statement(n) for n in OTHER_NONCES] + [statement(NONCE)]
    leaves = [sha(b"\x00" + s) for s in statements] + [bytes(32)]
    below = leaves
    levels = [below]
    while len(below) > 1:
        below = [sha(b"\x01" + below[i] + below[i + 1]) for i in range(0, len(below), 2)]
        levels.append(below)
    root = levels[-1][0]
    signature = sign(b"vorn-reply-batch 1\nroot " + root.hex().encode() + b"\n")
    place = 2
    path = b"".join(levels[level][(place >> level) ^ 1] for level in range(len(levels) - 1))
    for byte in (place, 6, 0x82, 0xFE):
        print("batch", byte, base64.b64encode(signature + bytes([byte]) + path).decode())
