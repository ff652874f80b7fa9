#include "ed25519.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

struct FreeKey
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct FreeContext
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Context = std::unique_ptr<EVP_MD_CTX, FreeContext>;

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

// OpenSSL wants a valid pointer even for no bytes.
const unsigned char *orEmpty(const unsigned char *data)
{
    static const unsigned char nothing = 0;
    return data ? data : &nothing;
}

} // namespace

bool Ed25519::verify(const QByteArray &publicKey, const unsigned char *data, qint64 size,
                     const QByteArray &signature)
{
    if (publicKey.size() != publicKeySize || signature.size() != signatureSize || size < 0)
        return false;
    const Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey),
                                              size_t(publicKey.size())));
    const Context context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named, and it is given in one piece.
    return key && context
        && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), bytes(signature), size_t(signature.size()),
                            orEmpty(data), size_t(size))
        == 1;
}

QByteArray Ed25519::publicKey(const QByteArray &seed)
{
    return PrivateKey(seed).publicKey();
}

QByteArray Ed25519::sign(const QByteArray &seed, const unsigned char *data, qint64 size)
{
    return PrivateKey(seed).sign(data, size);
}

QByteArray Ed25519::newSeed()
{
    QByteArray seed(seedSize, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(seed.data()), seedSize) != 1)
        return QByteArray();
    return seed;
}

Ed25519::PrivateKey::PrivateKey(const QByteArray &seed)
{
    if (seed.size() == seedSize)
        key.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed),
                                               size_t(seed.size())),
                  EVP_PKEY_free);
}

QByteArray Ed25519::PrivateKey::publicKey() const
{
    QByteArray result(publicKeySize, Qt::Uninitialized);
    size_t length = size_t(result.size());
    if (!key
        || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(result.data()),
                                       &length)
            != 1
        || length != size_t(publicKeySize))
        return QByteArray();
    return result;
}

QByteArray Ed25519::PrivateKey::sign(const unsigned char *data, qint64 size) const
{
    const Context context(EVP_MD_CTX_new());
    QByteArray signature(signatureSize, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    if (!key || !context || size < 0
        || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()),
                          &length, orEmpty(data), size_t(size))
            != 1
        || length != size_t(signatureSize))
        return QByteArray();
    return signature;
}
