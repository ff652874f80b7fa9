#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

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
    enum Outcome {
        Accepted,
        MalformedSha256, // the reply's value cannot be read
        MalformedSignature,
        MalformedSize,
        MissingSignature, // keys are given, the reply carries no signature
        MissingChecksum, // keys are given, the reply lacks the sha256 or size the statement needs
        WrongSize, // the bytes differ from what was announced
        WrongSha256,
        BadSignature,
    };

    // Keys in base64. A key that is not a valid one verifies nothing, but it still makes
    // signatures required: a broken setting must not switch the check off.
    explicit PackageVerifier(const QStringList &publicKeys);

    // Splits a comma-separated key setting; blanks around a key and empty items are dropped.
    static QStringList splitKeys(const QString &setting);

    bool requiresSignature() const { return signatureRequired; }

    // What the reply alone says against a package, before any byte of it is fetched.
    Outcome precheck(const PackageCheck &check) const;
    // The whole check of a downloaded package of `size` bytes whose digest was taken while it
    // was written. identity names the component and version the package is offered as (its
    // size and digest are taken from the reply).
    Outcome verify(qint64 size, const Digest &digest, const PackageCheck &check,
                   const PackageStatement &identity) const;

    // The text shown to the user for an outcome other than Accepted.
    static QString message(Outcome outcome, const QString &packageName, const PackageCheck &check);

private:
    Outcome checkDigest(qint64 size, const Digest &digest, const PackageCheck &check) const;
    Outcome checkSignature(const PackageCheck &check, const PackageStatement &identity) const;

    QList<QByteArray> keys;
    bool signatureRequired = false;
};

#endif // PACKAGEVERIFIER_H
