#ifndef KEYPAIR_H
#define KEYPAIR_H

#include <QByteArray>
#include <QString>

// An Ed25519 key pair for signing test packages.
struct KeyPair
{
    QByteArray publicKey;
    QByteArray seed;

    QString publicBase64() const;
    // The detached signature of bytes, in base64 as an update server sends it.
    QByteArray sign(const QByteArray &bytes) const;
};

// From a fixed seed, so that every run signs with the same keys.
KeyPair keyPair(char seedByte);

#endif // KEYPAIR_H
