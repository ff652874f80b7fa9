#include "signingkey.h"

#include <QFile>

#include <sodium.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

} // namespace

bool SigningKey::generate(const QString &path)
{
    if (sodium_init() < 0)
        return fail(QStringLiteral("the cryptography library cannot start"));
    QByteArray seed(crypto_sign_SEEDBYTES, '\0');
    randombytes_buf(seed.data(), size_t(seed.size()));
    if (!derive(seed))
        return false;
    const QByteArray text = "# Vorn package signing key (Ed25519). Keep this file secret.\n"
                            "# Public key: "
        + publicBytes.toBase64() + "\n" + seed.toBase64() + "\n";
    sodium_memzero(seed.data(), size_t(seed.size()));

    // O_EXCL: losing a key that packages are already signed with would lock users out.
    const int file = ::open(QFile::encodeName(path).constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file < 0) {
        const int code = errno;
        return fail(
            code == EEXIST
                ? QStringLiteral("%1 exists already; a key file is never overwritten").arg(path)
                : QStringLiteral("cannot write %1: %2").arg(path, qt_error_string(code)));
    }
    const bool written
        = ::write(file, text.constData(), size_t(text.size())) == text.size() && ::fsync(file) == 0;
    const int code = errno;
    if (::close(file) != 0 || !written) {
        QFile::remove(path);
        return fail(QStringLiteral("cannot write %1: %2").arg(path, qt_error_string(code)));
    }
    return true;
}

bool SigningKey::load(const QString &path)
{
    if (sodium_init() < 0)
        return fail(QStringLiteral("the cryptography library cannot start"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the key %1: %2").arg(path, file.errorString()));
    exposed = file.permissions()
        & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther);
    QByteArray encoded;
    int lines = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        encoded = trimmed;
        ++lines;
    }
    const QByteArray seed = QByteArray::fromBase64(encoded);
    if (lines != 1 || seed.size() != crypto_sign_SEEDBYTES || seed.toBase64() != encoded)
        return fail(QStringLiteral("%1 is not a key file made with --generate-key").arg(path));
    return derive(seed);
}

QByteArray SigningKey::sign(const unsigned char *data, qint64 size) const
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    static const unsigned char nothing = 0;
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         data ? data : &nothing, quint64(size), bytes(secretBytes));
    return signature;
}

bool SigningKey::derive(const QByteArray &seed)
{
    publicBytes.resize(crypto_sign_PUBLICKEYBYTES);
    secretBytes.resize(crypto_sign_SECRETKEYBYTES);
    if (crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicBytes.data()),
                                 reinterpret_cast<unsigned char *>(secretBytes.data()), bytes(seed))
        != 0)
        return fail(QStringLiteral("cannot derive the key pair"));
    return true;
}

bool SigningKey::fail(const QString &message)
{
    error = message;
    return false;
}
