#include "sha256.h"

#include <openssl/evp.h>

#include <memory>

namespace {

// Fetched once: naming the digest on each reset makes OpenSSL look it up again, which costs
// more than hashing a short text.
const EVP_MD *sha256()
{
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> digest(
        EVP_MD_fetch(nullptr, "SHA256", nullptr), &EVP_MD_free);
    return digest.get();
}

} // namespace

void Sha256::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

// The context is made on first use: OpenSSL reads its configuration then, which a run that
// downloads nothing need not wait for.
Sha256::Sha256() = default;

Sha256::~Sha256() = default;

void Sha256::reset()
{
    digest.clear();
    finished = false;
    if (!context)
        context.reset(EVP_MD_CTX_new());
    const EVP_MD *digestType = sha256();
    failed = !context || !digestType || EVP_DigestInit_ex(context.get(), digestType, nullptr) != 1;
}

void Sha256::add(const char *data, qint64 size)
{
    if (finished || failed || size <= 0)
        return;
    failed = EVP_DigestUpdate(context.get(), data, size_t(size)) != 1;
}

QByteArray Sha256::result()
{
    if (!finished && !failed) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        failed = EVP_DigestFinal_ex(context.get(), value, &length) != 1;
        if (!failed)
            digest = QByteArray(reinterpret_cast<const char *>(value), int(length));
    }
    finished = true;
    return failed ? QByteArray() : digest;
}

QByteArray Sha256::of(const QByteArray &bytes)
{
    Sha256 hash;
    hash.reset();
    hash.add(bytes.constData(), bytes.size());
    return hash.result();
}

QByteArray Sha256::fromHex(const QString &text)
{
    if (text.size() != 64)
        return QByteArray();
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return QByteArray();
    }
    return QByteArray::fromHex(text.toLatin1());
}
