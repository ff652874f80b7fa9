#include "keypair.h"

#include "ed25519.h"
#include "packagestatement.h"

QString KeyPair::publicBase64() const
{
    return QString::fromLatin1(publicKey.toBase64());
}

QByteArray KeyPair::sign(const QByteArray &bytes) const
{
    return Ed25519::sign(seed, reinterpret_cast<const unsigned char *>(bytes.constData()),
                         bytes.size())
        .toBase64();
}

QByteArray KeyPair::signPackage(const QByteArray &bytes, const PackageStatement &identity) const
{
    PackageStatement statement = identity;
    statement.size = bytes.size();
    statement.digest = Digest::of(Digest::Sha256, bytes);
    return sign(statement.text());
}

KeyPair keyPair(char seedByte)
{
    KeyPair pair;
    pair.seed = QByteArray(Ed25519::seedSize, seedByte);
    pair.publicKey = Ed25519::publicKey(pair.seed);
    return pair;
}
