#include "keypair.h"

#include <sodium.h>

QString KeyPair::publicBase64() const
{
    return QString::fromLatin1(publicKey.toBase64());
}

QByteArray KeyPair::sign(const QByteArray &bytes) const
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(bytes.constData()),
                         quint64(bytes.size()),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature.toBase64();
}

KeyPair keyPair(char seedByte)
{
    KeyPair pair;
    pair.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    pair.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    const QByteArray seed(crypto_sign_SEEDBYTES, seedByte);
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
                             reinterpret_cast<unsigned char *>(pair.secretKey.data()),
                             reinterpret_cast<const unsigned char *>(seed.constData()));
    return pair;
}
