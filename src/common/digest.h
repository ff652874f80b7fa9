#ifndef DIGEST_H
#define DIGEST_H

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <optional>

struct evp_md_ctx_st;

// The digest of some bytes, with the algorithm that took it: what the update server announces
// for a package, what a package's signed statement covers, and what a patch's manifest names
// for the files it rebuilds. Every algorithm is one row of a table in digest.cpp: its names in
// the reply, the statement and the manifest, its length, and how it is taken. Whatever reads or
// writes a digest names it through this class, so an algorithm is its row.
class Digest
{
public:
    // In the order they came: a reader takes the newest that a reply or a manifest names.
    enum Algorithm { Sha256, Newest = Sha256 };
    // The one the publisher's tools write. It moves to a newer row on its own, once the
    // updaters in use read that row: a package announced only by a digest that an updater does
    // not know would not install there.
    static constexpr Algorithm Published = Sha256;

    // No digest: what a missing or malformed value reads as.
    Digest() = default;
    // No digest when the bytes are not of the algorithm's length.
    Digest(Algorithm algorithm, const QByteArray &bytes);

    // The name the reply and the statement give the algorithm, and a patch's manifest the digest
    // of the file it makes: "sha256".
    static QLatin1String name(Algorithm algorithm);
    // The name a patch's manifest gives the digest of the installed file: "from-sha256".
    static QLatin1String fromName(Algorithm algorithm);
    // The name people write: "SHA-256".
    static QLatin1String title(Algorithm algorithm);
    // In bytes.
    static qsizetype size(Algorithm algorithm);

    static Digest of(Algorithm algorithm, QByteArrayView bytes);
    // A digest written as hex digits, in either case, exactly as many as it has; no digest when
    // the text is anything else.
    static Digest fromHex(Algorithm algorithm, QStringView text);
    // The digest among values named after the algorithms (valueOf gives the text of one, nullopt
    // when there is none), read with fromHex(): the newest algorithm's. nullopt when there is
    // none; no digest, of the algorithm named, when its text is not one.
    static std::optional<Digest>
    fromNamed(const std::function<std::optional<QString>(Algorithm)> &valueOf);
    // The algorithm a name of name() stands for.
    static std::optional<Algorithm> named(QStringView name);

    bool isValid() const { return !digest.isEmpty(); }
    Algorithm algorithm() const { return kind; }
    const QByteArray &bytes() const { return digest; }
    // Lower-case hex digits, as the reply, the statement and the manifest write it.
    QByteArray toHex() const { return digest.toHex(); }

    // The bytes are compared in constant time: one side comes from the network.
    bool operator==(const Digest &other) const;
    bool operator!=(const Digest &other) const { return !(*this == other); }

    // Takes a digest over bytes given piece by piece (below).
    class Hash;

private:
    Algorithm kind = Sha256;
    QByteArray digest;
};

// A digest taken over bytes given piece by piece, so that a file is hashed while it is written
// instead of being read back afterwards.
class Digest::Hash
{
public:
    Hash();
    ~Hash();

    // Starts a new digest; nothing is hashed before the first reset.
    void reset(Algorithm algorithm);
    void add(const char *data, qint64 size);
    // The digest of everything added since the last reset; no digest if hashing failed.
    Digest result();

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context;
    Algorithm kind = Sha256;
    Digest digest;
    bool finished = false;
    bool failed = true;
};

#endif // DIGEST_H
