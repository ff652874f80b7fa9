#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

    python3 fuzz/make_corpora.py [--package-builder build/tools/packagebuilder/vorn-package-builder]

Every seed is written from this script, so that a seed can be read here as what it stands
for. With --package-builder the archive corpus also gets packages made by the project's own
builder, and the manifest corpus their manifests (the packages hold the build time, so they
are only rewritten on request).

The delta corpus (corpus/binarydelta/) is not written here: Python has no zstd. Its seeds are
deltas that DeltaDiffer made from the fuzz target's old file to the same file, the file with
an insertion, the file with every byte shifted by 4, an empty file and an unrelated text,
besides one written by hand whose first step's two lengths sum past 64 bits (all version 1),
and two zstd patch-from deltas (version 2) that DeltaDiffer made from a text of numbers to the
text with one number in five replaced, in one window and in windows of 512 bytes. Those apply
to the fuzz target's old file as well, making other bytes.
"""

import argparse
import base64
import hashlib
import io
import os
import struct
import subprocess
import tempfile
import warnings
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

POLISH = "Zażółć gęślą jaźń. Poprawki błędów w oknie rozmowy; ŻÓŁW, ĄĘŚĆŃ."


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# --- update server replies -------------------------------------------------------------------
#
# The first byte of a reply seed says how many piece lengths follow (its low four bits; "0"
# feeds the rest in one piece), then come the lengths, then the reply.

def pieces(reply, lengths=()):
    if isinstance(reply, str):
        reply = reply.encode("utf-8")
    assert len(lengths) < 16 and all(0 <= n < 256 for n in lengths)
    return bytes([0x30 + len(lengths)]) + bytes(lengths) + reply


def split(reply, *positions):
    """Pieces that end at those byte positions of the reply, no piece longer than 255 bytes."""
    if isinstance(reply, str):
        reply = reply.encode("utf-8")
    lengths, at = [], 0
    for position in positions:
        while position - at > 255:
            lengths.append(255)
            at += 255
        lengths.append(position - at)
        at = position
    return pieces(reply, lengths)


def full_request(project="vorn", name="core", kind="app", version="1.2",
                 changelog="Fixes.", link="http://127.0.0.1/core.zip", extra=""):
    return (f'    <request project="{project}" name="{name}" type="{kind}">\n'
            f"        <version>{version}</version>\n"
            f"        <description>Vorn core</description>\n"
            f"        <copyrights>(c) Vorn</copyrights>\n"
            f"        <author>Vorn team</author>\n"
            f"        <webpage>https://vorn.example.org/</webpage>\n"
            f"        <email>team@vorn.example.org</email>\n"
            f"        <changelog>{changelog}</changelog>\n"
            f"        <link>{link}</link>\n"
            f"        <critical>false</critical>\n"
            f"        <timestamp>1700000000</timestamp>\n"
            f"{extra}"
            f"    </request>\n")


def server_reply(requests, declaration='<?xml version="1.0" encoding="UTF-8"?>\n'):
    return declaration + "<update>\n" + "".join(requests) + "</update>\n"


LATEST = '    <request project="vorn" name="emoticons" type="plugin">\n        <latest/>\n    </request>\n'
UNKNOWN = '    <request project="" name="unknown" type="app">\n        <noSuchComponent/>\n    </request>\n'
SERVER = server_reply([full_request(extra="        <sha256>9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08</sha256>\n        <size>123456</size>\n"), LATEST, UNKNOWN])


def replies():
    t = "updatereply"
    polish = server_reply([full_request(changelog=POLISH)])
    write(t, "server-three-requests", pieces(SERVER))
    write(t, "server-in-small-pieces", pieces(SERVER, [1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233]))
    write(t, "server-split-before-root-end", split(SERVER, SERVER.rindex("</update>")))
    write(t, "server-empty-pieces", pieces(SERVER, [0, 0, 40, 0, 0, 60]))
    write(t, "polish-utf8", pieces(polish))
    write(t, "polish-utf8-split-inside-character",
          split(polish, polish.encode("utf-8").index("ż".encode("utf-8")) + 1))
    latin2 = server_reply([full_request(changelog=POLISH)],
                          '<?xml version="1.0" encoding="ISO-8859-2"?>\n').encode("iso8859_2")
    write(t, "polish-iso-8859-2", pieces(latin2))
    write(t, "polish-iso-8859-2-split-in-declaration", pieces(latin2, [30, 1, 1, 1]))
    write(t, "polish-windows-1250", pieces(server_reply(
        [full_request(changelog=POLISH)],
        '<?xml version="1.0" encoding="windows-1250"?>\n').encode("cp1250")))
    write(t, "polish-utf16-bom", pieces(server_reply([full_request(changelog=POLISH)], "").encode("utf-16")))
    write(t, "utf8-bom", pieces(b"\xef\xbb\xbf" + SERVER.encode("utf-8")))
    write(t, "undeclared-latin2-bytes", pieces(server_reply(
        [full_request(changelog=POLISH)], "").encode("iso8859_2")))
    write(t, "latest-with-data-children", pieces(server_reply(
        [full_request(extra="        <latest/>\n")])))
    write(t, "no-such-update-with-text", pieces(server_reply(
        ['<request name="x"><noSuchUpdate>gone</noSuchUpdate><version>2</version></request>'])))
    write(t, "no-attributes", pieces(server_reply(
        ["<request><version>1.1</version><link>http://h/p.zip</link></request>"])))
    write(t, "critical-variants", pieces(server_reply([
        full_request(name=n, extra=f"<critical>{c}</critical>")
        for n, c in [("a", "True"), ("b", "TRUE"), ("c", "1"), ("d", " true"), ("e", "true")]])))
    write(t, "timestamp-variants", pieces(server_reply([
        f"<request name='{n}'><timestamp>{v}</timestamp></request>"
        for n, v in [("a", "abc"), ("b", "4294967296"), ("c", "4294967295"), ("d", "-1"),
                     ("e", "+7"), ("f", " 12"), ("g", "0x10"), ("h", "")]])))
    write(t, "repeated-children", pieces(server_reply(
        ["<request><version>1</version><version>2</version><link>a</link><link>b</link></request>"])))
    write(t, "nested-text-and-cdata", pieces(server_reply(
        ["<request><changelog>a<b>b<c>c</c></b><![CDATA[<d>&amp;]]>&amp;&#x105;&#380;</changelog>"
         "<version><!-- c -->1.<?pi x?>2</version></request>"])))
    write(t, "requests-at-any-depth", pieces(
        "<root><a><request name='one'><version>1</version></request>"
        "<b><c><request name='two'><request name='three'/></request></c></b></a></root>"))
    write(t, "namespaced", pieces(
        "<x:update xmlns:x='urn:x' xmlns='urn:y'><x:request name='p'/><request x:name='q'>"
        "<x:version>1</x:version><version>2</version></request></x:update>"))
    # Well-formed, though not namespace-well-formed: the reply is read without namespaces.
    write(t, "undeclared-namespace-prefix", pieces(server_reply(
        ['<request pr:oject="vorn" name="core"><x:version>1</x:version><version>1.1</version></request>'])))
    write(t, "undeclared-namespace-prefix-in-pieces", split(
        "<update><request name='core'/><a:b/></update>", 20, 30))
    # No XML text holds a NUL; Qt reads "<u>]]\0q></u" whole as <u>]]q></u>.
    write(t, "nul-after-brackets-in-pieces", split(b"<u>]]\0q></u>", *range(1, 10)))
    write(t, "nul-in-text", pieces(b"<update><request><version>1\0</version></request></update>"))
    write(t, "internal-dtd-entity", pieces(
        '<?xml version="1.0"?>\n<!DOCTYPE update [<!ENTITY pl "zażółć"><!ATTLIST request type CDATA "app">]>\n'
        "<update><request name='core'><changelog>&pl; &pl;</changelog></request></update>"))
    write(t, "entity-expansion", pieces(
        '<!DOCTYPE u [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
        '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>'
        "<u><request><changelog>&d;&d;&d;</changelog></request></u>"))
    write(t, "undeclared-entity", pieces("<update><request><changelog>&nbsp;</changelog></request></update>"))
    write(t, "comment-after-root-split", pieces("<update/><!-- after the root -->", [12, 5]))
    write(t, "pi-and-space-after-root", pieces("<update/>\n<?next one?>\n  \n", [9, 3]))
    write(t, "junk-after-root-same-piece", pieces("<update><request/></update>junk"))
    write(t, "junk-after-root-next-piece", pieces("<update><request/></update>junk", [27]))
    write(t, "second-root", pieces("<update/><update/>", [9]))
    write(t, "mismatched-tags", pieces("<update><request><version>1</request></version></update>"))
    write(t, "unclosed", pieces("<update><request><version>1", [5, 5]))
    write(t, "not-xml", pieces("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"))
    write(t, "declaration-only", pieces('<?xml version="1.0" encoding="UTF-8"?>\n'))
    write(t, "space-before-declaration", pieces(' <?xml version="1.0"?><update/>'))
    write(t, "root-named-anything", pieces("<odpowiedź><request name='żółw'/></odpowiedź>"))
    write(t, "attribute-quotes-and-entities", pieces(
        "<update><request project='a&amp;b' name=\"&quot;q&quot;\" type='&#x141;&lt;'/></update>"))
    signature = base64.b64encode(bytes(range(64))).decode()
    write(t, "package-checks", pieces(server_reply([
        full_request(name=n, extra=e) for n, e in [
            ("valid", f"<sha256>{'ab' * 32}</sha256><signature>{signature}</signature><size>123456</size>"),
            ("blanks", f"<sha256>\n  {'AB' * 32}  \n</sha256><signature> {signature}\n</signature><size> 7 </size>"),
            ("short", f"<sha256>{'ab' * 31}</sha256><signature>{signature[:-4]}</signature><size></size>"),
            ("not-hex", f"<sha256>{'zz' * 32}</sha256><signature>{signature.replace('A', '-')}</signature><size>-1</size>"),
            ("huge", f"<sha256/><signature>{signature[:-2]}==</signature><size>99999999999999999999</size>"),
            ("plus", "<size>+5</size><signature>" + "=" * 88 + "</signature>"),
            ("polish", "<sha256>żółw</sha256><signature>gęś</signature><size>１２</size>")]])))
    write(t, "header-only", b"3")
    write(t, "empty", b"")
    write(t, "one-byte-pieces", pieces(
        "<u><request><version>1</version></request></u>", [1] * 15))


# --- reply signatures ------------------------------------------------------------------------
#
# A seed is the nonce, a line feed, the query, a line feed, then the reply. The reply key is the
# fuzz target's, the Ed25519 key of the seed of 32 bytes "k"; OpenSSL signs with it.

REPLY_KEY = bytes.fromhex("302e020100300506032b657004220420") + b"k" * 32  # PKCS#8, DER
NONCE = base64.b64encode(bytes(range(32))).decode()


def ed25519_signature(message):
    with tempfile.TemporaryDirectory() as scratch:
        key, text = os.path.join(scratch, "key.der"), os.path.join(scratch, "message")
        with open(key, "wb") as f:
            f.write(REPLY_KEY)
        with open(text, "wb") as f:
            f.write(message)
        return subprocess.run(["openssl", "pkeyutl", "-sign", "-keyform", "DER", "-inkey", key,
                               "-rawin", "-in", text], check=True, capture_output=True).stdout


def reply_statement(nonce, query, reply):
    return (f"vorn-reply-statement 1\nnonce {nonce}\n"
            f"query-sha256 {hashlib.sha256(query.encode()).hexdigest()}\n"
            f"reply-sha256 {hashlib.sha256(reply.encode()).hexdigest()}\n").encode()


def with_signature(reply, field):
    """The reply with the signature element before its closing root tag."""
    tag = reply.rindex("</")
    return reply[:tag] + f"<signature>{base64.b64encode(field).decode()}</signature>" + reply[tag:]


def batch_fields(statements):
    """The signature fields of a batch, as the server signs statements waiting together."""
    def leaf(statement):
        return hashlib.sha256(b"\0" + statement).digest()

    def node(left, right):
        return hashlib.sha256(b"\1" + left + right).digest()
    width = 1
    while width < len(statements):
        width *= 2
    levels = [[leaf(s) for s in statements] + [bytes(32)] * (width - len(statements))]
    while len(levels[-1]) > 1:
        below = levels[-1]
        levels.append([node(below[i], below[i + 1]) for i in range(0, len(below), 2)])
    signature = ed25519_signature(f"vorn-reply-batch 1\nroot {levels[-1][0].hex()}\n".encode())
    return [signature + bytes([index]) + b"".join(level[(index >> depth) ^ 1]
                                                  for depth, level in enumerate(levels[:-1]))
            for index in range(len(statements))]


def reply_signatures():
    t = "replysignature"

    def seed(reply, nonce=NONCE, query=QUERY):
        return f"{nonce}\n{query}\n{reply}"
    reply = SERVER
    single = ed25519_signature(reply_statement(NONCE, QUERY, reply))
    signed = with_signature(reply, single)
    write(t, "single", seed(signed))
    write(t, "single-without-nonce",
          seed(with_signature(reply, ed25519_signature(reply_statement("", QUERY, reply))), ""))
    blanks = reply + "  \n"
    write(t, "single-blanks-after-root",
          seed(with_signature(blanks, ed25519_signature(reply_statement(NONCE, QUERY, blanks)))))
    line = "<update><request name='x'><latest/></request></update>"
    write(t, "reply-alone-on-one-line",
          with_signature(line, ed25519_signature(reply_statement("", "", line))))
    for count, index in [(2, 0), (3, 2), (64, 63)]:
        nonces = [base64.b64encode(bytes([n]) * 32).decode() for n in range(count)]
        fields = batch_fields([reply_statement(n, QUERY, reply) for n in nonces])
        write(t, f"batch-of-{count}-at-{index}", seed(with_signature(reply, fields[index]), nonces[index]))

    fields = batch_fields([reply_statement(NONCE, QUERY, reply), reply_statement("", QUERY, reply)])
    write(t, "unsigned", seed(reply))
    write(t, "altered-after-signing", seed(signed.replace("<version>1.2<", "<version>1.3<")))
    write(t, "other-nonce", seed(signed, base64.b64encode(bytes(32)).decode()))
    write(t, "other-query", seed(signed, query=QUERY.replace("1.0", "1.1")))
    write(t, "signature-not-last", seed(signed.replace("</signature>", "</signature><x/>")))
    write(t, "signature-not-base64", seed(signed.replace("<signature>", "<signature>*")))
    write(t, "signature-63-bytes", seed(with_signature(reply, single[:63])))
    write(t, "signature-65-bytes", seed(with_signature(reply, single + b"\0")))
    write(t, "signature-empty", seed(with_signature(reply, b"")))
    write(t, "batch-sibling-changed",
          seed(with_signature(reply, fields[0][:-1] + bytes([fields[0][-1] ^ 1]))))
    write(t, "batch-index-beyond-tree",
          seed(with_signature(reply, fields[0][:64] + b"\2" + fields[0][65:])))
    write(t, "batch-path-not-whole-digests", seed(with_signature(reply, fields[0][:-1])))
    write(t, "batch-seven-levels", seed(with_signature(reply, single + b"\0" + bytes(32 * 7))))
    write(t, "closing-tag-without-opening",
          seed(signed.replace(signed[signed.index("<signature>"):signed.index("</signature>")], "")))
    write(t, "two-signature-elements", seed(with_signature(signed, single)))
    write(t, "root-not-closed", seed(signed[:-2]))
    write(t, "nothing-after-the-query", f"{NONCE}\n{QUERY}\n")
    write(t, "empty", b"")


# --- messenger output ------------------------------------------------------------------------

QUERY = "<s><update><component project='vorn' name='core' type='app' version='1.0' /></update></s>"


def queries():
    t = "updatequery"
    write(t, "standin-output", QUERY + "\n")
    write(t, "two-components", "<s><update><component project='vorn' name='core' type='app' version='1.0' />"
          "<component project='vorn' name='emoticons' type='plugin' version='0.9' /></update></s>\n")
    write(t, "empty-values", "<s><update><component version='' /></update></s>\n")
    write(t, "noise-around",
          "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'\n" + QUERY
          + "\nWarning: settings not saved </ s>\n")
    write(t, "two-documents", QUERY + "\n" + QUERY + "\n")
    write(t, "tags-only", "<s></s>")
    write(t, "close-only", "</s>\n")
    write(t, "close-before-open", "</s> then <s>\n")
    write(t, "overlapping-tags", "<s</s><s>s></s")
    write(t, "open-only", "<s><update>")
    write(t, "nul-inside", QUERY[:30] + "\0" + QUERY[30:])
    write(t, "nul-before", "\0" + QUERY)
    write(t, "polish-utf8", QUERY.replace("core", "rdzeń_żółw"))
    write(t, "polish-iso-8859-2", QUERY.replace("core", "rdzeń_żółw").encode("iso8859_2"))
    write(t, "high-bytes", b"<s>" + bytes(range(128, 256)) + b"</s>")
    write(t, "crlf", QUERY.replace("><", ">\r\n<") + "\r\n")
    write(t, "empty", b"")
    write(t, "crash-message", "Segmentation fault (core dumped)\n")
    write(t, "upper-case-tags", "<S><update></update></S>\n")
    write(t, "tags-with-blanks", "<s ><update/></s >\n< s></ s>\n")
    write(t, "self-closing", "<s/>" + QUERY + "<s/>\n")
    write(t, "tag-split-by-newline", "<s\n>" + QUERY[3:-4] + "</s\n>")
    write(t, "nested-tags", "<s><s><update/></s></s>")
    write(t, "windows-1250", QUERY.replace("core", "rdzeń_żółw").encode("cp1250"))
    write(t, "utf16-output", QUERY.encode("utf-16"))
    write(t, "utf8-bom", b"\xef\xbb\xbf" + QUERY.encode())
    write(t, "long-noise", "x" * 3000 + QUERY + "y" * 500)
    write(t, "many-components", "<s><update>" + "".join(
        f"<component project='p{i}' name='n{i}' type='plugin' version='{i}.0' />" for i in range(40))
        + "</update></s>\n")


# --- manifests -------------------------------------------------------------------------------

def manifest(files, attributes='project="vorn" name="core" type="app"',
             declaration='<?xml version="1.0" encoding="UTF-8"?>\n'):
    body = "".join(f'    <file name="{n}" path="{p}" action="{a}"/>\n' for p, n, a in files)
    return f"{declaration}<package {attributes}>\n{body}</package>\n"


NORMAL = [("bin", "im-client", "add"), ("", "readme.txt", "add"), ("lib", "libold.so", "remove")]


def manifests():
    t = "manifestwalker"
    polish = [("dokumenty/pomoc", "żółw.txt", "add"), ("", "gęś.png", "remove")]
    write(t, "builder-shape", manifest(NORMAL))
    write(t, "polish-utf8", manifest(polish))
    write(t, "polish-iso-8859-2", manifest(
        polish, declaration='<?xml version="1.0" encoding="ISO-8859-2"?>\n').encode("iso8859_2"))
    write(t, "polish-utf16", manifest(polish, declaration="").encode("utf-16"))
    write(t, "wrong-project", manifest(NORMAL, 'project="other" name="core" type="app"'))
    write(t, "wrong-name", manifest(NORMAL, 'project="vorn" name="Core" type="app"'))
    write(t, "wrong-type", manifest(NORMAL, 'type="plugin" project="vorn" name="core"'))
    write(t, "attribute-case", manifest(NORMAL, 'Project="x" NAME="y" type="app"'))
    write(t, "package-without-attributes", manifest(NORMAL, ""))
    write(t, "no-package", "<files>" + "".join(
        f'<file name="{n}" path="{p}" action="{a}"/>' for p, n, a in NORMAL) + "</files>")
    write(t, "files-before-package", '<root><file name="a" action="add"/>'
          '<package project="other"/><file name="b" action="add"/></root>')
    write(t, "nested-anywhere", "<package><a><b><file name='x' path='p/q' action='ADD'/></b></a>"
          "<package name='core'><file name='y' action='Remove'/></package></package>")
    write(t, "actions", manifest([("", "a", "ADD"), ("", "b", "aDd"), ("", "c", "addx"),
                                  ("", "d", "backup"), ("", "e", ""), ("", "İ", "REMOVE")]))
    write(t, "stop-action", manifest([("", "a", "add"), ("", "b", "STOP"), ("", "c", "add")]))
    write(t, "missing-attributes", '<package><file/><file name="n"/><file path="p"/></package>')
    write(t, "malformed-after-third", manifest(NORMAL).replace("</package>", '<file name=x action="add"/></package>'))
    write(t, "unclosed", '<package project="vorn"><file name="a" action="add"/><file name="b"')
    write(t, "duplicate-attribute", '<package><file name="a" name="b" action="add"/></package>')
    write(t, "namespaces", '<p:package xmlns:p="urn:p" xmlns:q="urn:q" q:project="other">'
          '<q:file q:name="a" p:path="b" action="add"/><file xmlns="urn:z" name="c"/></p:package>')
    write(t, "dtd-defaults-and-entities",
          '<?xml version="1.0"?>\n<!DOCTYPE package [<!ENTITY d "dokumenty">'
          '<!ATTLIST file action CDATA "add">]>\n'
          '<package project="vorn"><file name="a" path="&d;/&#x17C;"/></package>')
    write(t, "entity-expansion",
          '<!DOCTYPE p [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
          '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>'
          '<package><file name="&d;&d;" action="add"/></package>')
    write(t, "external-entity", '<!DOCTYPE p [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
          '<package><file name="&x;"/></package>')
    write(t, "comments-cdata-pi", '<?xml version="1.0"?><!-- c --><?pi x?><package>'
          '<![CDATA[<file name="no"/>]]><!-- <file name="no"/> --><file name="yes" action="add"/>'
          '</package>')
    write(t, "deep-nesting", "<a>" * 300 + '<file name="deep" action="add"/>' + "</a>" * 300)
    write(t, "paths-with-dots", manifest([("..", "passwd", "add"), ("../../etc", "x", "remove"),
                                          ("/abs", "y", "add"), ("a//b", "", "add")]))
    write(t, "second-root", '<package/><file name="after" action="add"/>')
    write(t, "text-before-root", 'junk<package><file name="a" action="add"/></package>')
    write(t, "bom-and-declaration", b"\xef\xbb\xbf" + manifest(NORMAL).encode("utf-8"))
    write(t, "wrong-declared-encoding", manifest(
        polish, declaration='<?xml version="1.0" encoding="UTF-16"?>\n').encode("utf-8"))
    write(t, "binary", bytes(range(256)))
    write(t, "empty", b"")


# --- archives --------------------------------------------------------------------------------

DATE = (2024, 5, 1, 10, 0, 0)


def make_zip(entries, comment=b""):
    """entries: (name, data, method) with a str name; returns the archive bytes."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, date_time=DATE)
            info.compress_type = method
            info.external_attr = (0o40755 if name.endswith("/") else 0o100644) << 16
            z.writestr(info, data)
        z.comment = comment
    return out.getvalue()


def headers(blob, name):
    """Offsets of the local and the central header of the entry with that raw name."""
    name = name.encode("latin-1") if isinstance(name, str) else name
    local = central = None
    at = 0
    while True:
        at = blob.find(b"PK", at)
        if at < 0:
            break
        if blob[at:at + 4] == b"PK\x03\x04" and blob[at + 30:at + 30 + len(name)] == name:
            local = at
        if blob[at:at + 4] == b"PK\x01\x02" and blob[at + 46:at + 46 + len(name)] == name:
            central = at
        at += 2
    assert local is not None and central is not None, name
    return local, central


def patch(blob, name, local_field, central_field, fmt, value):
    blob = bytearray(blob)
    local, central = headers(blob, name)
    if local_field is not None:
        struct.pack_into(fmt, blob, local + local_field, value)
    if central_field is not None:
        struct.pack_into(fmt, blob, central + central_field, value)
    return bytes(blob)


def set_crc(blob, name, crc):
    return patch(blob, name, 14, 16, "<I", crc)


def set_compressed_size(blob, name, size, local=True, central=True):
    return patch(blob, name, 18 if local else None, 20 if central else None, "<I", size)


def set_size(blob, name, size, local=True, central=True):
    return patch(blob, name, 22 if local else None, 24 if central else None, "<I", size)


def set_method(blob, name, method):
    return patch(blob, name, 8, 10, "<H", method)


def set_flags(blob, name, flags):
    return patch(blob, name, 6, 8, "<H", flags)


def rename_raw(blob, placeholder, raw):
    """Replaces an ASCII name by raw bytes of the same length in both headers."""
    assert len(placeholder) == len(raw) and blob.count(placeholder) == 2
    return blob.replace(placeholder, raw)


D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
MANIFEST = manifest(NORMAL).encode("utf-8")
CLIENT = b"#!/bin/sh\necho 'vorn im-client 1.1'\n"


def archives():
    t = "archiveextractor"
    package = [("core.xml", MANIFEST, D), ("bin/im-client", CLIENT, D), ("readme.txt", POLISH.encode(), D)]
    normal = make_zip(package)
    write(t, "package", normal)
    write(t, "package-stored", make_zip([(n, d, S) for n, d, _ in package]))
    write(t, "package-with-directories", make_zip(
        [("core.xml", MANIFEST, D), ("bin/", b"", S), ("bin/im-client", CLIENT, D),
         ("lib/", b"", S), ("lib/plugins/", b"", S), ("lib/plugins/libx.so", b"\x7fELF" + bytes(60), D)]))
    write(t, "package-with-comment", make_zip(package, comment=b"Vorn core 1.1"))
    write(t, "empty-archive", make_zip([]))
    write(t, "empty-archive-with-comment", make_zip([], comment=b"nothing here"))
    write(t, "empty-entries", make_zip([("empty", b"", D), ("dir/empty", b"", S)]))

    for label, name in [("parent", "../evil"), ("two-up", "../../evil"),
                        ("down-and-up", "sub/../../../evil"), ("dot-dot-inside", "a/../b"),
                        ("directory-up", "../../evil/"), ("absolute", "/tmp/vorn-fuzz-evil"),
                        ("backslashes", "..\\..\\evil"), ("dot", "./evil"), ("double-slash", "a//b"),
                        ("unwind-backup", "unwind/bin/im-client"), ("unwind-itself", "unwind"),
                        ("only-slash", "/"), ("dot-dot-only", ".."), ("trailing-dot-dot", "a/..")]:
        write(t, "slip-" + label, make_zip([("ok.txt", b"ok", D), (name, b"evil", D)]))
    write(t, "slip-empty-name", make_zip([("ok.txt", b"ok", D), ("", b"evil", D)]))
    write(t, "slip-nul-in-name", rename_raw(make_zip([("a_/../../evil", b"evil", D)]),
                                            b"a_/../../evil", b"a\0/../../evil"))
    write(t, "name-255-bytes", make_zip([("n" * 255, b"long", D)]))
    write(t, "name-256-bytes", make_zip([("n" * 256, b"too long", D)]))
    write(t, "name-latin2-bytes", rename_raw(make_zip([("ksiazka-zolw.txt", POLISH.encode(), D)]),
                                             b"ksiazka-zolw.txt", "książka-żółw.txt".encode("iso8859_2")))
    write(t, "name-utf8-flag", make_zip([("dokumenty/żółw.txt", POLISH.encode(), D)]))
    write(t, "file-then-directory-of-same-name", make_zip([("a", b"file", D), ("a/b", b"inside", D)]))
    write(t, "directory-then-file-of-same-name", make_zip([("a/", b"", S), ("a", b"file", D)]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the duplicate is the point
        write(t, "same-name-twice", make_zip([("twice", b"first", D), ("twice", b"second", D)]))

    write(t, "crc-wrong", set_crc(normal, "bin/im-client", 0xDEADBEEF))
    write(t, "crc-wrong-stored", set_crc(make_zip([("s", b"stored bytes", S)]), "s", 0))
    flipped = bytearray(normal)
    local, _ = headers(flipped, "bin/im-client")
    flipped[local + 30 + len("bin/im-client") + 3] ^= 0x55
    write(t, "data-byte-flipped", bytes(flipped))
    write(t, "size-larger", set_size(normal, "bin/im-client", len(CLIENT) + 100))
    write(t, "size-smaller", set_size(normal, "bin/im-client", 5))
    write(t, "size-zero", set_size(normal, "readme.txt", 0))
    write(t, "size-huge", set_size(normal, "readme.txt", 0xFFFFFFF0))
    write(t, "size-only-local-header", set_size(normal, "bin/im-client", 5, central=False))
    write(t, "stored-size-larger", set_size(make_zip([("s", b"stored bytes", S)]), "s", 1000))
    write(t, "compressed-size-larger", set_compressed_size(normal, "bin/im-client", 4000))
    write(t, "compressed-size-smaller", set_compressed_size(normal, "readme.txt", 3))
    write(t, "method-bzip2", set_method(normal, "bin/im-client", 12))
    write(t, "method-unknown", set_method(normal, "bin/im-client", 99))
    write(t, "method-stored-but-deflated", set_method(normal, "readme.txt", 0))
    write(t, "encrypted-flag", set_flags(normal, "bin/im-client", 1))
    write(t, "truncated-half", normal[:len(normal) // 2])
    write(t, "truncated-end-record", normal[:-5])
    end = normal.rindex(b"PK\x05\x06")
    more = bytearray(normal)
    struct.pack_into("<HH", more, end + 8, 9, 9)
    write(t, "end-record-counts-too-many", bytes(more))
    off = bytearray(normal)
    struct.pack_into("<I", off, end + 16, len(normal) + 100)
    write(t, "central-directory-offset-beyond-end", bytes(off))
    write(t, "two-archives-concatenated", normal + make_zip([("second", b"2", D)]))
    write(t, "zip64", zip64())
    write(t, "not-a-zip", b"<html><body>404 Not Found</body></html>\n")
    write(t, "empty-file", b"")


def zip64():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        info = zipfile.ZipInfo("big.txt", date_time=DATE)
        info.compress_type = D
        with z.open(info, "w", force_zip64=True) as f:
            f.write(b"zip64 headers, small data\n")
    return out.getvalue()


def builder_packages(builder):
    t = "archiveextractor"
    with tempfile.TemporaryDirectory() as scratch:
        new = os.path.join(scratch, "new")
        os.makedirs(os.path.join(new, "bin"))
        os.makedirs(os.path.join(new, "dokumenty"))
        with open(os.path.join(new, "bin", "im-client"), "wb") as f:
            f.write(CLIENT)
        os.chmod(os.path.join(new, "bin", "im-client"), 0o755)
        with open(os.path.join(new, "readme.txt"), "w", encoding="utf-8") as f:
            f.write(POLISH + "\n")
        with open(os.path.join(new, "dokumenty", "pomoc.txt"), "w") as f:
            f.write("pomoc\n")
        common = ["--project", "vorn", "--name", "core", "--type", "app", "--version", "1.1",
                  "--timestamp", "1700000000", "--changelog", POLISH, "--unsigned"]
        for label, extra, directory in [
                ("builder-package", ["--link", "http://127.0.0.1/core.zip"], new),
                ("builder-package-in-subdirectory",
                 ["--link", "http://127.0.0.1/updates/core.zip", "--remove", "lib/libold.so"], new),
                ("builder-remove-only",
                 ["--link", "http://127.0.0.1/core.zip", "--remove", "lib/libold.so"], None)]:
            output = os.path.join(scratch, label + ".zip")
            command = [builder] + ([directory] if directory else []) + common + extra + ["--output", output]
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            with open(output, "rb") as f:
                write(t, label, f.read())
            with zipfile.ZipFile(output) as z:
                manifest_name = next(n for n in z.namelist() if n.endswith(".xml"))
                write("manifestwalker", label + "-manifest", z.read(manifest_name))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package-builder", help="vorn-package-builder to make packages with")
    args = parser.parse_args()
    replies()
    reply_signatures()
    queries()
    manifests()
    archives()
    if args.package_builder:
        builder_packages(args.package_builder)


if __name__ == "__main__":
    main()
