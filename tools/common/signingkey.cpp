#include "signingkey.h"

#include <QFile>

#include "ed25519.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool SigningKey::generate(const QString &path)
{
    QByteArray seed = Ed25519::newSeed();
    if (seed.isEmpty())
        return fail(QStringLiteral("the system's random source cannot be read"));
    if (!derive(seed))
        return false;
    const QByteArray text = "# Vorn package signing key (Ed25519). Keep this file secret.\n"
                            "# Public key: "
        + publicBytes.toBase64() + "\n" + seed.toBase64() + "\n";
    OPENSSL_cleanse(seed.data(), size_t(seed.size()));

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
    if (lines != 1 || seed.size() != Ed25519::seedSize || seed.toBase64() != encoded)
        return fail(QStringLiteral("%1 is not a key file made with --generate-key").arg(path));
    return derive(seed);
}

QByteArray SigningKey::sign(const unsigned char *data, qint64 size) const
{
    return key.sign(data, size);
}

bool SigningKey::derive(const QByteArray &seed)
{
    const Ed25519::PrivateKey derived(seed);
    const QByteArray derivedPublic = derived.publicKey();
    if (derivedPublic.isEmpty())
        return fail(QStringLiteral("cannot derive the key pair"));
    key = derived;
    publicBytes = derivedPublic;
    return true;
}

bool SigningKey::fail(const QString &message)
{
    error = message;
    return false;
}
