#include "packagecheck.h"

#include "replyformat.h"

namespace {

// Only the one canonical spelling of each value is taken, so that no two texts stand for
// the same signature.
QByteArray decodeBase64(const QString &text, qsizetype length)
{
    const QByteArray ascii = text.toLatin1();
    const auto result
        = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != length || result.decoded.toBase64() != ascii)
        return QByteArray();
    return result.decoded;
}

qint64 decodeSize(const QString &text)
{
    if (text.isEmpty())
        return -1;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    }
    bool ok = false;
    const qint64 size = text.toLongLong(&ok, 10);
    return ok ? size : -1;
}

} // namespace

PackageCheck
PackageCheck::fromReply(const std::function<std::optional<QString>(QLatin1String name)> &valueOf)
{
    PackageCheck check;
    const std::optional<Digest> digest = Digest::fromNamed([&valueOf](Digest::Algorithm algorithm) {
        std::optional<QString> text = valueOf(Digest::name(algorithm));
        if (text)
            text = text->trimmed();
        return text;
    });
    if (digest) {
        check.present |= Checksum;
        check.digest = *digest;
        if (!check.digest.isValid())
            check.malformed |= Checksum;
    }
    const std::optional<QString> signature = valueOf(ReplyFormat::signature);
    const std::optional<QString> size = valueOf(ReplyFormat::size);
    if (signature) {
        check.present |= Signature;
        check.signature = decodeBase64(signature->trimmed(), 64);
        if (check.signature.isEmpty())
            check.malformed |= Signature;
    }
    if (size) {
        check.present |= Size;
        check.size = decodeSize(size->trimmed());
        if (check.size < 0)
            check.malformed |= Size;
    }
    return check;
}
