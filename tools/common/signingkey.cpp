#include "signingkey.h"

#include <QFile>

#include "ed25519.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray publicKeyLine = QByteArrayLiteral("# Public key: ");

} // namespace

bool SigningKey::generate(const QString &path)
{
    QByteArray seed = Ed25519::newSeed();
    if (seed.isEmpty())
        return fail(QStringLiteral("the system's random source cannot be read"));
    if (!derive(seed))
        return false;
    const QByteArray text = "# Vorn " + QByteArray(purpose == Package ? "package" : "reply")
        + " signing key (Ed25519). Keep this file secret.\n" + publicKeyLine
        + publicKey().toLatin1() + "\n" + seed.toBase64() + "\n";
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
    QByteArray named;
    int lines = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith(publicKeyLine))
            named = trimmed.mid(publicKeyLine.size()).trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        encoded = trimmed;
        ++lines;
    }

    const Purpose other = purpose == Package ? Reply : Package;
    if (named.startsWith(prefixOf(other))) {
        return fail(purpose == Package
                        ? QStringLiteral("%1 is a reply key, which signs the update server's "
                                         "replies (vorn-update-server --reply-key); sign packages "
                                         "with a package key of their own "
                                         "(vorn-package-builder --generate-key FILE)")
                              .arg(path)
                        : QStringLiteral("%1 is a package key, which signs packages "
                                         "(vorn-package-builder --sign); sign replies with a reply "
                                         "key of their own (vorn-package-builder "
                                         "--generate-reply-key FILE)")
                              .arg(path));
    }
    // A file without the purpose in its public key predates it, and serves either purpose.
    const QByteArray namedBase64
        = named.startsWith(prefixOf(purpose)) ? named.mid(prefixOf(purpose).size()) : named;
    if ((lines == 0 && !named.isEmpty()) || (lines == 1 && encoded == namedBase64)
        || encoded.startsWith(prefixOf(Package)) || encoded.startsWith(prefixOf(Reply)))
        return fail(QStringLiteral("%1 holds only a public key; give the file with the secret "
                                   "key, as %2 wrote it")
                        .arg(path, generator()));
    const QByteArray seed = QByteArray::fromBase64(encoded);
    if (lines != 1 || named.isEmpty() || seed.size() != Ed25519::seedSize
        || seed.toBase64() != encoded)
        return fail(QStringLiteral("%1 is not a key file made with %2").arg(path, generator()));
    if (!derive(seed))
        return false;
    if (publicBytes.toBase64() != namedBase64)
        return fail(QStringLiteral("%1: its secret key does not match the public key it names; "
                                   "the file was altered or pieced together. Use the key file "
                                   "as %2 wrote it")
                        .arg(path, generator()));
    return true;
}

QByteArray SigningKey::sign(const unsigned char *data, qint64 size) const
{
    return key.sign(data, size);
}

QString SigningKey::publicKey() const
{
    return QString::fromLatin1(prefixOf(purpose) + publicBytes.toBase64());
}

QByteArray SigningKey::publicKeyBytes(Purpose purpose, const QString &text)
{
    const QByteArray form = text.trimmed().toLatin1();
    if (!form.startsWith(prefixOf(purpose)))
        return QByteArray();
    const QByteArray encoded = form.mid(prefixOf(purpose).size());
    const QByteArray bytes = QByteArray::fromBase64(encoded);
    return bytes.size() == Ed25519::publicKeySize && bytes.toBase64() == encoded ? bytes
                                                                                 : QByteArray();
}

QByteArray SigningKey::prefixOf(Purpose purpose)
{
    return purpose == Package ? QByteArrayLiteral("vorn-package-key:")
                              : QByteArrayLiteral("vorn-reply-key:");
}

QString SigningKey::generator() const
{
    return purpose == Package ? QStringLiteral("vorn-package-builder --generate-key")
                              : QStringLiteral("vorn-package-builder --generate-reply-key");
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
