#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include "ed25519.h"

#include <QByteArray>
#include <QString>

// The publisher's Ed25519 key: the package key of the builder, or the reply key of the update
// server. Its file holds the 32-byte seed in base64 on one line, after comment lines that name
// the purpose and the public key:
//
//     # Vorn package signing key (Ed25519). Keep this file secret.
//     # Public key: vorn-package-key:<base64>
//     <base64 seed>
//
// A reply key says "reply" in both places. The public key's form names the purpose, so that
// neither a key of the other purpose nor the bare seed line passes for it. Files written before
// keys named their purpose hold the public key in bare base64; they load for either purpose.
class SigningKey
{
public:
    enum Purpose { Package, Reply };

    explicit SigningKey(Purpose purpose)
        : purpose(purpose)
    { }

    // Writes a new key to path (mode 0600); an existing file is never overwritten.
    bool generate(const QString &path);
    // Refuses a key of the other purpose, and a file whose seed is not the secret of the
    // public key it names.
    bool load(const QString &path);

    // The Ed25519 signature of the bytes, 64 bytes.
    QByteArray sign(const unsigned char *data, qint64 size) const;
    // vorn-package-key:<base64> or vorn-reply-key:<base64>, as the updater's settings
    // VORN_PACKAGE_PUBLIC_KEYS and VORN_REPLY_PUBLIC_KEYS take it.
    QString publicKey() const;
    // The 32 bytes of a public key given in that form (as publicKey() writes it); empty when
    // the text is not one of the purpose.
    static QByteArray publicKeyBytes(Purpose purpose, const QString &text);
    // Set by load() when the file can be read by other users.
    bool isExposed() const { return exposed; }
    QString errorString() const { return error; }

private:
    static QByteArray prefixOf(Purpose purpose);
    QString generator() const;
    bool derive(const QByteArray &seed);
    bool fail(const QString &message);

    Purpose purpose;
    QByteArray publicBytes;
    Ed25519::PrivateKey key;
    bool exposed = false;
    QString error;
};

#endif // SIGNINGKEY_H
