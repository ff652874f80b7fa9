#include "replysignature.h"

#include "ed25519.h"
#include "sha256.h"

#include <openssl/rand.h>

namespace {

const QByteArray nonceOpen = QByteArrayLiteral("<nonce>");
const QByteArray nonceClose = QByteArrayLiteral("</nonce>");
const QByteArray signatureOpen = QByteArrayLiteral("<signature>");
const QByteArray signatureClose = QByteArrayLiteral("</signature>");

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
    if (!bytesBeforeQuery.startsWith(nonceOpen) || !bytesBeforeQuery.endsWith(nonceClose))
        return QByteArray();
    const QByteArray nonce = bytesBeforeQuery.mid(
        nonceOpen.size(), bytesBeforeQuery.size() - nonceOpen.size() - nonceClose.size());
    const auto decoded
        = QByteArray::fromBase64Encoding(nonce, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == nonceSize && decoded.decoded.toBase64() == nonce
        ? nonce
        : QByteArray();
}

QByteArray ReplySignature::statement(const QByteArray &nonce, const QByteArray &query,
                                     const QByteArray &unsignedReply)
{
    return statementOf(nonce, Sha256::of(query), Sha256::of(unsignedReply));
}

QByteArray ReplySignature::statementOf(const QByteArray &nonce, const QByteArray &querySha256,
                                       const QByteArray &replySha256)
{
    return "vorn-reply-statement 1\nnonce " + nonce + "\nquery-sha256 " + querySha256.toHex()
        + "\nreply-sha256 " + replySha256.toHex() + '\n';
}

QByteArray ReplySignature::signatureElement(const QByteArray &signature)
{
    return signatureOpen + signature.toBase64() + signatureClose;
}

QByteArray ReplySignature::sign(const QByteArray &reply, const QByteArray &seed,
                                const QByteArray &nonce, const QByteArray &query)
{
    const qsizetype tag = closingTag(reply);
    const QByteArray text = statement(nonce, query, reply);
    const QByteArray signature = Ed25519::sign(seed, bytes(text), text.size());
    if (tag < 0 || signature.isEmpty())
        return QByteArray();
    return reply.left(tag) + signatureElement(signature) + reply.mid(tag);
}

ReplySignature::Outcome ReplySignature::verify(const QByteArray &reply, const QStringList &keys,
                                               const QByteArray &nonce, const QByteArray &query)
{
    const qsizetype tag = closingTag(reply);
    const qsizetype end = tag - signatureClose.size();
    if (tag < 0 || end < 0 || reply.mid(end, signatureClose.size()) != signatureClose)
        return Unsigned;
    const qsizetype open = reply.lastIndexOf(signatureOpen, end);
    const auto signature = QByteArray::fromBase64Encoding(
        reply.mid(open + signatureOpen.size(), end - open - signatureOpen.size()),
        QByteArray::AbortOnBase64DecodingErrors);
    if (open < 0 || !signature || signature.decoded.size() != Ed25519::signatureSize)
        return Malformed;
    const QByteArray text = statement(nonce, query, reply.left(open) + reply.mid(tag));
    for (const QString &key : keys) {
        if (Ed25519::verify(QByteArray::fromBase64(key.toLatin1()), bytes(text), text.size(),
                            signature.decoded))
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
