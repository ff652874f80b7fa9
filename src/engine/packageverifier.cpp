#include "packageverifier.h"

#include "ed25519.h"
#include "packagecheck.h"
#include "packagestatement.h"
#include "translated.h"

PackageVerifier::PackageVerifier(const QStringList &publicKeys)
    : signatureRequired(!publicKeys.isEmpty())
{
    for (const QString &text : publicKeys) {
        const QByteArray ascii = text.trimmed().toLatin1();
        const QByteArray key = QByteArray::fromBase64(ascii);
        if (key.size() == Ed25519::publicKeySize && key.toBase64() == ascii)
            keys.append(key);
    }
}

QStringList PackageVerifier::splitKeys(const QString &setting)
{
    QStringList keys;
    for (const QString &item : setting.split(QLatin1Char(','))) {
        const QString key = item.trimmed();
        if (!key.isEmpty())
            keys.append(key);
    }
    return keys;
}

PackageVerifier::Outcome PackageVerifier::precheck(const PackageCheck &check) const
{
    if (check.isMalformed(PackageCheck::Sha256))
        return MalformedSha256;
    if (check.isMalformed(PackageCheck::Size))
        return MalformedSize;
    // Without a key a signature cannot be checked, and is not looked at.
    if (signatureRequired) {
        if (check.isMalformed(PackageCheck::Signature))
            return MalformedSignature;
        if (!check.has(PackageCheck::Signature))
            return MissingSignature;
        if (!check.has(PackageCheck::Sha256) || !check.has(PackageCheck::Size))
            return MissingChecksum;
    }
    return Accepted;
}

PackageVerifier::Outcome PackageVerifier::verify(qint64 size, const Digest &digest,
                                                 const PackageCheck &check,
                                                 const PackageStatement &identity) const
{
    const Outcome bytes = checkDigest(size, digest, check);
    if (bytes != Accepted || !signatureRequired)
        return bytes;
    return checkSignature(check, identity);
}

PackageVerifier::Outcome PackageVerifier::checkDigest(qint64 size, const Digest &digest,
                                                      const PackageCheck &check) const
{
    const Outcome reply = precheck(check);
    if (reply != Accepted)
        return reply;
    if (check.has(PackageCheck::Size) && size != check.size)
        return WrongSize;
    if (check.has(PackageCheck::Sha256) && digest != check.digest)
        return WrongSha256;
    return Accepted;
}

// The digest and size were checked against the reply, so the statement over the reply's
// values speaks for the bytes.
PackageVerifier::Outcome PackageVerifier::checkSignature(const PackageCheck &check,
                                                         const PackageStatement &identity) const
{
    PackageStatement statement = identity;
    statement.size = check.size;
    statement.digest = check.digest;
    if (!statement.isComplete())
        return BadSignature;
    const QByteArray text = statement.text();
    for (const QByteArray &key : keys) {
        if (Ed25519::verify(key, reinterpret_cast<const unsigned char *>(text.constData()),
                            text.size(), check.signature))
            return Accepted;
    }
    return BadSignature;
}

QString PackageVerifier::message(Outcome outcome, const QString &packageName,
                                 const PackageCheck &check)
{
    const auto malformed = [&packageName](const char *element) {
        return translated("The update server sent a malformed %1 for package %2.")
            .arg(QLatin1String(element), packageName);
    };
    switch (outcome) {
    case Accepted:
        break;
    case MalformedSha256:
        return malformed("sha256");
    case MalformedSignature:
        return malformed("signature");
    case MalformedSize:
        return malformed("size");
    case MissingSignature:
        return translated("Package %1 is not signed, so it will not be installed.")
            .arg(packageName);
    case MissingChecksum:
        return translated("The update server did not send the size and checksum of package %1, "
                          "which its signature covers, so it will not be installed.")
            .arg(packageName);
    case WrongSize:
        return translated(
                   "Package %1 does not have the size announced by the update server (%2 bytes).")
            .arg(packageName)
            .arg(check.size);
    case WrongSha256:
        return translated("Package %1 does not match the checksum announced by the update "
                          "server: it was damaged or altered on the way, so it will not be "
                          "installed.")
            .arg(packageName);
    case BadSignature:
        return translated("The signature of package %1 is not valid: the package was altered or "
                          "not released by its publisher, so it will not be installed.")
            .arg(packageName);
    }
    return QString();
}
