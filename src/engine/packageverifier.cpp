#include "packageverifier.h"

#include "ed25519.h"
#include "packagecheck.h"
#include "packagestatement.h"
#include "replyformat.h"
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

namespace {

Failure refused(const QString &text)
{
    return Failure(Failure::Refused, text);
}

Failure malformed(QLatin1String element, const QString &packageName)
{
    return refused(translated("The update server sent a malformed %1 for package %2.")
                       .arg(element, packageName));
}

} // namespace

Failure PackageVerifier::precheck(const PackageCheck &check, const QString &packageName) const
{
    if (check.isMalformed(PackageCheck::Checksum))
        return malformed(Digest::name(check.digest.algorithm()), packageName);
    if (check.isMalformed(PackageCheck::Size))
        return malformed(ReplyFormat::size, packageName);
    // Without a key a signature cannot be checked, and is not looked at.
    if (signatureRequired) {
        if (check.isMalformed(PackageCheck::Signature))
            return malformed(ReplyFormat::signature, packageName);
        if (!check.has(PackageCheck::Signature))
            return refused(translated("Package %1 is not signed, so it will not be installed.")
                               .arg(packageName));
        if (!check.has(PackageCheck::Checksum) || !check.has(PackageCheck::Size))
            return refused(
                translated("The update server did not send the size and checksum of package %1, "
                           "which its signature covers, so it will not be installed.")
                    .arg(packageName));
    }
    return Failure();
}

Failure PackageVerifier::verify(qint64 size, const Digest &digest, const PackageCheck &check,
                                const PackageStatement &identity) const
{
    const Failure bytes = checkDigest(size, digest, check, identity.name);
    if (bytes || !signatureRequired)
        return bytes;
    return checkSignature(check, identity);
}

QString PackageVerifier::wrongSize(const QString &packageName, qint64 announcedSize)
{
    return translated(
               "Package %1 does not have the size announced by the update server (%2 bytes).")
        .arg(packageName)
        .arg(announcedSize);
}

Failure PackageVerifier::checkDigest(qint64 size, const Digest &digest, const PackageCheck &check,
                                     const QString &packageName) const
{
    if (const Failure reply = precheck(check, packageName))
        return reply;
    if (check.has(PackageCheck::Size) && size != check.size)
        return refused(wrongSize(packageName, check.size));
    if (check.has(PackageCheck::Checksum) && digest != check.digest)
        return refused(translated("Package %1 does not match the checksum announced by the "
                                  "update server: it was damaged or altered on the way, so it "
                                  "will not be installed.")
                           .arg(packageName));
    return Failure();
}

// The digest and size were checked against the reply, so the statement over the reply's
// values speaks for the bytes.
Failure PackageVerifier::checkSignature(const PackageCheck &check,
                                        const PackageStatement &identity) const
{
    PackageStatement statement = identity;
    statement.size = check.size;
    statement.digest = check.digest;
    if (statement.isComplete()) {
        const QByteArray text = statement.text();
        for (const QByteArray &key : keys) {
            if (Ed25519::verify(key, reinterpret_cast<const unsigned char *>(text.constData()),
                                text.size(), check.signature))
                return Failure();
        }
    }
    return refused(translated("The signature of package %1 is not valid: the package was altered "
                              "or not released by its publisher, so it will not be installed.")
                       .arg(identity.name));
}
