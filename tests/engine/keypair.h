#ifndef KEYPAIR_H
#define KEYPAIR_H

#include <QByteArray>
#include <QString>

struct PackageStatement;

// An Ed25519 key pair for signing test packages.
struct KeyPair
{
    QByteArray publicKey;
    QByteArray seed;

    QString publicBase64() const;
    // The detached signature of bytes, in base64 as an update server sends it.
    QByteArray sign(const QByteArray &bytes) const;
    // The signature of the statement for a package with these bytes, offered as the component
    // and version that identity names.
    QByteArray signPackage(const QByteArray &bytes, const PackageStatement &identity) const;
};

// From a fixed seed, so that every run signs with the same keys.
KeyPair keyPair(char seedByte);

#endif // KEYPAIR_H
