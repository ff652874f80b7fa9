#include "replysignature.h"

#include "digest.h"
#include "ed25519.h"

#include <openssl/rand.h>

#include <algorithm>

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
// that no node's digest can pass for a leaf's.
QByteArray leafOf(const QByteArray &statement)
{
    return sha256('\0' + statement);
}

QByteArray nodeOf(const QByteArray &left, const QByteArray &right)
{
    return sha256('\1' + left + right);
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
    QByteArray digest = leafOf(statement);
    for (qsizetype level = 0; level < depth; ++level) {
        const QByteArray sibling
            = field.mid(Ed25519::signatureSize + 1 + level * digestSize, digestSize);
        digest = (index >> level) & 1 ? nodeOf(sibling, digest) : nodeOf(digest, sibling);
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
    QByteArray nonce(nonceSize, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), nonceSize) != 1)
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
    QByteArray text = "vorn-reply-statement 1\nnonce " + nonce + '\n';
    if (position)
        text += "position " + QByteArray::number(*position) + '\n';
    return text + "query-sha256 " + querySha256.toHex() + "\nreply-sha256 " + replySha256.toHex()
        + '\n';
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
    QList<QByteArrayList> levels(1);
    for (const QByteArray &statement : statements)
        levels[0] << leafOf(statement);
    levels[0].resize(width, QByteArray(digestSize, '\0'));
    while (levels.constLast().size() > 1) {
        const QByteArrayList &below = levels.constLast();
        QByteArrayList above;
        for (qsizetype at = 0; at < below.size(); at += 2)
            above << nodeOf(below.at(at), below.at(at + 1));
        levels << above;
    }
    const QByteArray signature = sign(batchStatement(levels.constLast().constFirst()));
    if (signature.isEmpty())
        return QByteArrayList();
    QByteArrayList fields;
    for (int index = 0; index < statements.size(); ++index) {
        QByteArray field = signature + char(index);
        for (qsizetype level = 0; level + 1 < levels.size(); ++level)
            field += levels.at(level).at((index >> level) ^ 1);
        fields << field;
    }
    return fields;
}

QByteArray ReplySignature::signatureElement(const QByteArray &signature)
{
    return signatureOpen + signature.toBase64() + signatureClose;
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

ReplySignature::Outcome ReplySignature::verify(const QByteArray &reply, const QStringList &keys,
                                               const QByteArray &nonce, const QByteArray &query,
                                               std::optional<int> position)
{
    const qsizetype tag = closingTag(reply);
    const qsizetype end = tag - signatureClose.size();
    if (tag < 0 || end < 0 || reply.mid(end, signatureClose.size()) != signatureClose)
        return Unsigned;
    const qsizetype open = reply.lastIndexOf(signatureOpen, end);
    const auto signature = QByteArray::fromBase64Encoding(
        reply.mid(open + signatureOpen.size(), end - open - signatureOpen.size()),
        QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray text = open < 0 || !signature
        ? QByteArray()
        : signedText(signature.decoded,
                     statement(nonce, query, reply.left(open) + reply.mid(tag), position));
    if (text.isEmpty())
        return Malformed;
    const QByteArray signatureBytes = signature.decoded.left(Ed25519::signatureSize);
    for (const QString &key : keys) {
        if (Ed25519::verify(QByteArray::fromBase64(key.toLatin1()), bytes(text), text.size(),
                            signatureBytes))
            return Valid;
    }
    return NotForThisExchange;
}

QString ReplySignature::message(Outcome outcome)
{
    switch (outcome) {
    case Valid:
        break;
    case Unsigned:
        return QStringLiteral("the reply is not signed");
    case Malformed:
        return QStringLiteral("the reply's signature is malformed");
    case NotForThisExchange:
        return QStringLiteral("the reply is not signed for this exchange by a reply key the "
                              "updater trusts");
    }
    return QString();
}
