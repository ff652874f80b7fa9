#include "replysignature.h"

#include "digest.h"
#include "ed25519.h"

#include <openssl/evp.h>

#include <algorithm>

#include <sys/random.h>

namespace {

const QByteArray nonceOpen = QByteArrayLiteral("<nonce>");
const QByteArray nonceClose = QByteArrayLiteral("</nonce>");
const QByteArray positionOpen = QByteArrayLiteral("<position>");
const QByteArray positionClose = QByteArrayLiteral("</position>");
const QByteArray signatureOpen = QByteArrayLiteral("<signature>");
const QByteArray signatureClose = QByteArrayLiteral("</signature>");

// The statement's format names SHA-256, whatever digests packages carry.
QByteArray sha256(const QByteArray &bytes)
{
    return Digest::of(Digest::Sha256, bytes).bytes();
}

// Appends the bytes in lower-case hexadecimal, or in base64 with padding, in place: Qt's own
// encoders make a buffer of their own each, and its base64 one went a byte at a time, which cost
// a busy server more than the rest of a reply's signature element.
void appendHex(QByteArray &text, const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    const qsizetype at = text.size();
    text.resize(at + 2 * bytes.size());
    char *out = text.data() + at;
    for (const char byte : bytes) {
        *out++ = digits[quint8(byte) >> 4];
        *out++ = digits[quint8(byte) & 0xf];
    }
}

void appendBase64(QByteArray &text, const QByteArray &bytes)
{
    const qsizetype at = text.size();
    // OpenSSL ends the text with a NUL, which is chopped again.
    text.resize(at + (bytes.size() + 2) / 3 * 4 + 1);
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data() + at),
                                        reinterpret_cast<const unsigned char *>(bytes.constData()),
                                        int(bytes.size()));
    text.resize(at + written);
}

// A reply key as the settings write it.
QByteArray publicKeyOf(const QString &key)
{
    return QByteArray::fromBase64(key.toLatin1());
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the closing tag of the root element begins: the last "</" with nothing but blanks
// after its ">"; -1 when there is none.
qsizetype closingTag(const QByteArray &reply)
{
    qsizetype end = reply.size();
    while (end > 0 && isBlank(reply.at(end - 1)))
        --end;
    if (end == 0 || reply.at(end - 1) != '>')
        return -1;
    const qsizetype tag = reply.lastIndexOf("</", end - 1);
    return tag >= 0 && reply.indexOf('>', tag) == end - 1 ? tag : -1;
}

// The hash tree over a batch of statements: a leaf or a node is told apart by its first byte, so
// that no node's digest can pass for a leaf's. One hash serves a whole tree: a context made for
// each leaf and node cost a busy server more than the hashing.
QByteArray leafOf(Digest::Hash &hash, const QByteArray &statement)
{
    hash.reset(Digest::Sha256);
    hash.add("\0", 1);
    hash.add(statement.constData(), statement.size());
    return hash.result().bytes();
}

QByteArray nodeOf(Digest::Hash &hash, const QByteArray &left, const QByteArray &right)
{
    hash.reset(Digest::Sha256);
    hash.add("\1", 1);
    hash.add(left.constData(), left.size());
    hash.add(right.constData(), right.size());
    return hash.result().bytes();
}

QByteArray batchStatement(const QByteArray &root)
{
    return "vorn-reply-batch 1\nroot " + root.toHex() + '\n';
}

const int digestSize = 32;
const int maximumDepth = 6;
static_assert(1 << maximumDepth == ReplySignature::maximumBatch);

// What the signature signs: the statement itself, or the root its batch's tree leads to. Empty
// when the signature field is neither a signature nor one with a way to a root.
QByteArray signedText(const QByteArray &field, const QByteArray &statement)
{
    if (field.size() == Ed25519::signatureSize)
        return statement;
    const qsizetype path = field.size() - Ed25519::signatureSize - 1;
    const qsizetype depth = path / digestSize;
    const int index = path > 0 ? quint8(field.at(Ed25519::signatureSize)) : 0;
    if (path <= 0 || path % digestSize != 0 || depth > maximumDepth || index >= (1 << depth))
        return QByteArray();
    Digest::Hash hash;
    QByteArray digest = leafOf(hash, statement);
    for (qsizetype level = 0; level < depth; ++level) {
        const QByteArray sibling
            = field.mid(Ed25519::signatureSize + 1 + level * digestSize, digestSize);
        digest
            = (index >> level) & 1 ? nodeOf(hash, sibling, digest) : nodeOf(hash, digest, sibling);
    }
    return batchStatement(digest);
}

// Where the nonce element in front of a query ends, whether a position element follows it or
// not; -1 when the bytes are anything else.
qsizetype nonceEnd(const QByteArray &bytesBeforeQuery)
{
    if (!bytesBeforeQuery.startsWith(nonceOpen))
        return -1;
    const qsizetype end = bytesBeforeQuery.indexOf(nonceClose, nonceOpen.size());
    if (end < 0)
        return -1;
    const qsizetype after = end + nonceClose.size();
    if (after == bytesBeforeQuery.size())
        return after;
    return bytesBeforeQuery.indexOf(positionOpen, after) == after
            && bytesBeforeQuery.indexOf(positionClose, after)
                == bytesBeforeQuery.size() - positionClose.size()
        ? after
        : -1;
}

} // namespace

QByteArray ReplySignature::newNonce()
{
    // From the kernel, which seeds OpenSSL's generator too: that generator sets itself up on
    // its first call at twice the cost of the reply's verification, on a core that the
    // start-up's font loading wants.
    QByteArray nonce(nonceSize, Qt::Uninitialized);
    if (::getrandom(nonce.data(), size_t(nonceSize), 0) != nonceSize)
        return QByteArray();
    return nonce.toBase64();
}

QByteArray ReplySignature::nonceElement(const QByteArray &nonce)
{
    return nonceOpen + nonce + nonceClose;
}

QByteArray ReplySignature::nonceIn(const QByteArray &bytesBeforeQuery)
{
    const qsizetype end = nonceEnd(bytesBeforeQuery);
    if (end < 0)
        return QByteArray();
    const QByteArray nonce
        = bytesBeforeQuery.mid(nonceOpen.size(), end - nonceOpen.size() - nonceClose.size());
    const auto decoded
        = QByteArray::fromBase64Encoding(nonce, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == nonceSize && decoded.decoded.toBase64() == nonce
        ? nonce
        : QByteArray();
}

QByteArray ReplySignature::positionElement(int position)
{
    return positionOpen + QByteArray::number(position) + positionClose;
}

std::optional<int> ReplySignature::positionIn(const QByteArray &bytesBeforeQuery)
{
    const qsizetype end = nonceEnd(bytesBeforeQuery);
    if (end < 0 || end == bytesBeforeQuery.size())
        return std::nullopt;
    const QByteArrayView digits = QByteArrayView(bytesBeforeQuery)
                                      .sliced(end + positionOpen.size())
                                      .chopped(positionClose.size());
    // Exactly as the updater writes it, so that one position has one spelling in the statement.
    const bool canonical = !digits.isEmpty() && digits.size() <= 4
        && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })
        && (digits.size() == 1 || digits.front() != '0');
    if (!canonical)
        return std::nullopt;
    return digits.toInt();
}

QByteArray ReplySignature::statement(const QByteArray &nonce, const QByteArray &query,
                                     const QByteArray &unsignedReply, std::optional<int> position)
{
    return statementOf(nonce, sha256(query), sha256(unsignedReply), position);
}

QByteArray ReplySignature::statementOf(const QByteArray &nonce, const QByteArray &querySha256,
                                       const QByteArray &replySha256, std::optional<int> position)
{
    // Written into one buffer: the temporaries of each line showed in a busy server's profile.
    static const QByteArrayView head = "vorn-reply-statement 1\nnonce ";
    static const QByteArrayView query = "query-sha256 ";
    static const QByteArrayView reply = "\nreply-sha256 ";
    QByteArray text;
    text.reserve(head.size() + nonce.size() + sizeof "\nposition 9999\n" + query.size()
                 + 2 * querySha256.size() + reply.size() + 2 * replySha256.size() + 1);
    text += head;
    text += nonce;
    text += '\n';
    if (position) {
        text += "position ";
        text += QByteArray::number(*position);
        text += '\n';
    }
    text += query;
    appendHex(text, querySha256);
    text += reply;
    appendHex(text, replySha256);
    text += '\n';
    return text;
}

QByteArrayList ReplySignature::signBatch(const QByteArrayList &statements,
                                         const std::function<QByteArray(const QByteArray &)> &sign)
{
    if (statements.size() == 1) {
        const QByteArray signature = sign(statements.constFirst());
        return signature.isEmpty() ? QByteArrayList() : QByteArrayList {signature};
    }
    if (statements.isEmpty() || statements.size() > maximumBatch)
        return QByteArrayList();
    // Leaves past the last statement are all zeros, which no statement's digest is.
    int width = 1;
    while (width < statements.size())
        width *= 2;
    Digest::Hash hash;
    QList<QByteArrayList> levels(1);
    levels[0].reserve(width);
    for (const QByteArray &statement : statements)
        levels[0] << leafOf(hash, statement);
    levels[0].resize(width, QByteArray(digestSize, '\0'));
    while (levels.constLast().size() > 1) {
        const QByteArrayList &below = levels.constLast();
        QByteArrayList above;
        above.reserve(below.size() / 2);
        for (qsizetype at = 0; at < below.size(); at += 2)
            above << nodeOf(hash, below.at(at), below.at(at + 1));
        levels << above;
    }
    const QByteArray signature = sign(batchStatement(levels.constLast().constFirst()));
    if (signature.isEmpty())
        return QByteArrayList();
    QByteArrayList fields;
    fields.reserve(statements.size());
    for (int index = 0; index < statements.size(); ++index) {
        QByteArray field;
        field.reserve(signature.size() + 1 + (levels.size() - 1) * digestSize);
        field += signature;
        field += char(index);
        for (qsizetype level = 0; level + 1 < levels.size(); ++level)
            field += levels.at(level).at((index >> level) ^ 1);
        fields << field;
    }
    return fields;
}

QByteArray ReplySignature::signatureElement(const QByteArray &signature, QByteArrayView followedBy)
{
    QByteArray element;
    element.reserve(signatureOpen.size() + (signature.size() + 2) / 3 * 4 + signatureClose.size()
                    + followedBy.size());
    element += signatureOpen;
    appendBase64(element, signature);
    element += signatureClose;
    element += followedBy;
    return element;
}

QByteArray ReplySignature::withSignature(const QByteArray &reply, const QByteArray &signature)
{
    const qsizetype tag = closingTag(reply);
    return tag < 0 ? QByteArray() : reply.left(tag) + signatureElement(signature) + reply.mid(tag);
}

QByteArray ReplySignature::sign(const QByteArray &reply, const QByteArray &seed,
                                const QByteArray &nonce, const QByteArray &query,
                                std::optional<int> position)
{
    const QByteArray text = statement(nonce, query, reply, position);
    const QByteArray signature = Ed25519::sign(seed, bytes(text), text.size());
    return signature.isEmpty() ? QByteArray() : withSignature(reply, signature);
}

Failure ReplySignature::verify(const QByteArray &reply, const QStringList &keys,
                               const QByteArray &nonce, const QByteArray &query,
                               std::optional<int> position)
{
    const qsizetype tag = closingTag(reply);
    const qsizetype end = tag - signatureClose.size();
    if (tag < 0 || end < 0 || reply.mid(end, signatureClose.size()) != signatureClose)
        return Failure(Failure::Reply, QStringLiteral("the reply is not signed"));
    const qsizetype open = reply.lastIndexOf(signatureOpen, end);
    const auto signature = QByteArray::fromBase64Encoding(
        reply.mid(open + signatureOpen.size(), end - open - signatureOpen.size()),
        QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray text = open < 0 || !signature
        ? QByteArray()
        : signedText(signature.decoded,
                     statement(nonce, query, reply.left(open) + reply.mid(tag), position));
    if (text.isEmpty())
        return Failure(Failure::Reply, QStringLiteral("the reply's signature is malformed"));
    const QByteArray signatureBytes = signature.decoded.left(Ed25519::signatureSize);
    for (const QString &key : keys) {
        if (Ed25519::verify(publicKeyOf(key), bytes(text), text.size(), signatureBytes))
            return Failure();
    }
    return notForThisExchange();
}

void ReplySignature::prepareVerification(const QStringList &keys)
{
    // A verification that fails makes the same look-ups as one that passes; a signature out of
    // range fails before any arithmetic.
    sha256(QByteArray());
    if (!keys.isEmpty())
        Ed25519::verify(publicKeyOf(keys.first()), nullptr, 0,
                        QByteArray(Ed25519::signatureSize, '\xff'));
}

Failure ReplySignature::notForThisExchange()
{
    return Failure(Failure::Reply,
                   QStringLiteral("the reply is not signed for this exchange by a "
                                  "reply key the updater trusts"));
}
