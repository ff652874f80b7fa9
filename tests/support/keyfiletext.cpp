#include "keyfiletext.h"

#include "ed25519.h"

QByteArray keyFileText(const QByteArray &seed, const QByteArray &purpose)
{
    const QByteArray publicKey = Ed25519::publicKey(seed).toBase64();
    return "# Vorn " + (purpose.isEmpty() ? QByteArray("package") : purpose)
        + " signing key (Ed25519). Keep this file secret.\n# Public key: "
        + (purpose.isEmpty() ? publicKey : "vorn-" + purpose + "-key:" + publicKey) + '\n'
        + seed.toBase64() + '\n';
}
