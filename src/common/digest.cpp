#include "digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <iterator>
#include <vector>

namespace {

// Every algorithm, in the order of the enumeration: its name in the reply, the statement and
// the manifest, the manifest's name for the digest a patch applies to, the name people write,
// its length in bytes, and its name in OpenSSL.
const struct
{
    Digest::Algorithm algorithm;
    QLatin1String name;
    QLatin1String fromName;
    QLatin1String title;
    qsizetype size;
    const char *openssl;
} table[] = {
    {Digest::Sha256, QLatin1String("sha256"), QLatin1String("from-sha256"),
     QLatin1String("SHA-256"), 32, "SHA256"},
};

const auto &rowOf(Digest::Algorithm algorithm)
{
    return table[algorithm];
}

// Fetched once: naming the algorithm on each reset makes OpenSSL look it up again, which costs
// more than hashing a short text.
const EVP_MD *fetched(Digest::Algorithm algorithm)
{
    using Fetched = std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)>;
    static const std::vector<Fetched> all = [] {
        std::vector<Fetched> each;
        for (const auto &row : table)
            each.emplace_back(EVP_MD_fetch(nullptr, row.openssl, nullptr), &EVP_MD_free);
        return each;
    }();
    return all[size_t(algorithm)].get();
}

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

static_assert(std::size(table) == Digest::Newest + 1, "one row for every algorithm, in order");

Digest::Digest(Algorithm algorithm, const QByteArray &bytes)
    : kind(algorithm)
    , digest(bytes.size() == size(algorithm) ? bytes : QByteArray())
{ }

QLatin1String Digest::name(Algorithm algorithm)
{
    return rowOf(algorithm).name;
}

QLatin1String Digest::fromName(Algorithm algorithm)
{
    return rowOf(algorithm).fromName;
}

QLatin1String Digest::title(Algorithm algorithm)
{
    return rowOf(algorithm).title;
}

qsizetype Digest::size(Algorithm algorithm)
{
    return rowOf(algorithm).size;
}

Digest Digest::of(Algorithm algorithm, QByteArrayView bytes)
{
    Hash hash;
    hash.reset(algorithm);
    hash.add(bytes.data(), bytes.size());
    return hash.result();
}

Digest Digest::fromHex(Algorithm algorithm, QStringView text)
{
    // No digest, but of this algorithm, so that a refusal can name what was malformed.
    if (text.size() != 2 * size(algorithm))
        return Digest(algorithm, QByteArray());
    for (const QChar c : text) {
        if (!isHexDigit(c.unicode()))
            return Digest(algorithm, QByteArray());
    }
    return Digest(algorithm, QByteArray::fromHex(text.toLatin1()));
}

std::optional<Digest>
Digest::fromNamed(const std::function<std::optional<QString>(Algorithm)> &valueOf)
{
    for (auto row = std::rbegin(table); row != std::rend(table); ++row) {
        if (const std::optional<QString> text = valueOf(row->algorithm))
            return fromHex(row->algorithm, *text);
    }
    return std::nullopt;
}

std::optional<Digest::Algorithm> Digest::named(QStringView name)
{
    for (const auto &row : table) {
        if (name == row.name)
            return row.algorithm;
    }
    return std::nullopt;
}

bool Digest::operator==(const Digest &other) const
{
    return kind == other.kind && digest.size() == other.digest.size()
        && CRYPTO_memcmp(digest.constData(), other.digest.constData(), size_t(digest.size())) == 0;
}

void Digest::Hash::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

// The context is made on first use: OpenSSL reads its configuration then, which a run that
// downloads nothing need not wait for.
Digest::Hash::Hash() = default;

Digest::Hash::~Hash() = default;

void Digest::Hash::reset(Algorithm algorithm)
{
    kind = algorithm;
    digest = Digest();
    finished = false;
    if (!context)
        context.reset(EVP_MD_CTX_new());
    const EVP_MD *type = fetched(algorithm);
    failed = !context || !type || EVP_DigestInit_ex(context.get(), type, nullptr) != 1;
}

void Digest::Hash::add(const char *data, qint64 size)
{
    if (finished || failed || size <= 0)
        return;
    failed = EVP_DigestUpdate(context.get(), data, size_t(size)) != 1;
}

Digest Digest::Hash::result()
{
    if (!finished && !failed) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        failed = EVP_DigestFinal_ex(context.get(), value, &length) != 1;
        if (!failed)
            digest = Digest(kind, QByteArray(reinterpret_cast<const char *>(value), int(length)));
    }
    finished = true;
    return failed ? Digest() : digest;
}
