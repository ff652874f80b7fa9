#include "packagecheck.h"

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

PackageCheck PackageCheck::fromReply(const std::optional<QString> &sha256,
                                     const std::optional<QString> &signature,
                                     const std::optional<QString> &size)
{
    PackageCheck check;
    if (sha256) {
        check.present |= Sha256;
        check.digest = Digest::fromHex(Digest::Sha256, sha256->trimmed());
        if (!check.digest.isValid())
            check.malformed |= Sha256;
    }
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
