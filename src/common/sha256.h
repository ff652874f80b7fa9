#ifndef SHA256_H
#define SHA256_H

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

// SHA-256 over bytes given piece by piece, so that a package is hashed while it is written
// instead of being read back afterwards.
class Sha256
{
public:
    Sha256();
    ~Sha256();

    // Starts a new digest; nothing is hashed before the first reset.
    void reset();
    void add(const char *data, qint64 size);
    // The digest of everything added since the last reset; empty if hashing failed.
    QByteArray result();

    static QByteArray of(const QByteArray &bytes);
    // A digest written as 64 hex digits, in either case; empty when the text is not one.
    static QByteArray fromHex(const QString &text);

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context;
    QByteArray digest;
    bool finished = false;
    bool failed = true;
};

#endif // SHA256_H
