#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include "failure.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class Digest;
struct PackageCheck;
struct PackageStatement;

// Decides whether a downloaded package is the one its publisher released: the size and the
// digest that the update server announced, and, when public keys are given, an
// Ed25519 signature that one of those keys verifies over the package's statement: its
// component, its version, and that size and digest. A signature therefore binds the bytes to
// one component and version.
class PackageVerifier
{
public:
    // Keys in base64. A key that is not a valid one verifies nothing, but it still makes
    // signatures required: a broken setting must not switch the check off.
    explicit PackageVerifier(const QStringList &publicKeys);

    // Splits a comma-separated key setting; blanks around a key and empty items are dropped.
    static QStringList splitKeys(const QString &setting);

    bool requiresSignature() const { return signatureRequired; }

    // What the reply alone says against package `packageName`, before any byte of it is
    // fetched: a failure of kind Refused, or none.
    Failure precheck(const PackageCheck &check, const QString &packageName) const;
    // The whole check of a downloaded package of `size` bytes whose digest was taken while it
    // was written. identity names the component and version the package is offered as (its
    // size and digest are taken from the reply); its name is the one the failure's text gives.
    Failure verify(qint64 size, const Digest &digest, const PackageCheck &check,
                   const PackageStatement &identity) const;

    // The text for a package whose bytes do not have the size announced for it.
    static QString wrongSize(const QString &packageName, qint64 announcedSize);

private:
    Failure checkDigest(qint64 size, const Digest &digest, const PackageCheck &check,
                        const QString &packageName) const;
    Failure checkSignature(const PackageCheck &check, const PackageStatement &identity) const;

    QList<QByteArray> keys;
    bool signatureRequired = false;
};

#endif // PACKAGEVERIFIER_H
