#ifndef ED25519_H
#define ED25519_H

#include <QByteArray>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// Ed25519 signatures (RFC 8032) through OpenSSL. A private key is its 32-byte seed.
namespace Ed25519 {

constexpr int publicKeySize = 32;
constexpr int seedSize = 32;
constexpr int signatureSize = 64;

// True when signature is the key's signature of the bytes.
bool verify(const QByteArray &publicKey, const unsigned char *data, qint64 size,
            const QByteArray &signature);
// The public key of a seed; empty when the seed is not one.
QByteArray publicKey(const QByteArray &seed);
// The seed's signature of the bytes; empty when the seed is not one.
QByteArray sign(const QByteArray &seed, const unsigned char *data, qint64 size);
// A new seed from the system's random source; empty when it cannot be had.
QByteArray newSeed();

// A seed made into a key once: making the key derives its public half, which costs as much as
// a signature, so that a server signing every reply holds one.
class PrivateKey
{
public:
    PrivateKey() = default;
    // Null when the seed is not one.
    explicit PrivateKey(const QByteArray &seed);

    bool isNull() const { return !key; }
    QByteArray publicKey() const;
    // Empty when the key is null.
    QByteArray sign(const unsigned char *data, qint64 size) const;

private:
    // Shared: copies sign with the same key, which OpenSSL allows from any thread.
    std::shared_ptr<EVP_PKEY> key;
};

} // namespace Ed25519

#endif // ED25519_H
