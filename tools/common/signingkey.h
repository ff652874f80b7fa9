#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include "ed25519.h"

#include <QByteArray>
#include <QString>

// The publisher's Ed25519 key: the package key of the builder, or the reply key of the update
// server. Its file holds the 32-byte seed in base64 on one line, after comment lines that name
// the public key:
//
//     # Vorn package signing key (Ed25519). Keep this file secret.
//     # Public key: <base64>
//     <base64 seed>
class SigningKey
{
public:
    // Writes a new key to path (mode 0600); an existing file is never overwritten.
    bool generate(const QString &path);
    bool load(const QString &path);

    // The Ed25519 signature of the bytes, 64 bytes.
    QByteArray sign(const unsigned char *data, qint64 size) const;
    // In base64, as the updater's settings VORN_PACKAGE_PUBLIC_KEYS and VORN_REPLY_PUBLIC_KEYS
    // take it.
    QString publicKey() const { return QString::fromLatin1(publicBytes.toBase64()); }
    // Set by load() when the file can be read by other users.
    bool isExposed() const { return exposed; }
    QString errorString() const { return error; }

private:
    bool derive(const QByteArray &seed);
    bool fail(const QString &message);

    QByteArray publicBytes;
    Ed25519::PrivateKey key;
    bool exposed = false;
    QString error;
};

#endif // SIGNINGKEY_H
