#ifndef PACKAGECHECK_H
#define PACKAGECHECK_H

#include "digest.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>

#include <functional>
#include <optional>

// What the update server says about one offered package beside its Update record: the
// children of its "request" element that give the digest (named after its algorithm,
// "sha256"), the signature and the size, each optional.
struct PackageCheck
{
    enum Field { Checksum = 1, Signature = 2, Size = 4 };

    // valueOf gives the text of the child (or attribute) of that name, nullopt when there is
    // none. Surrounding blanks are ignored; a present value that is not valid is recorded as
    // malformed.
    static PackageCheck
    fromReply(const std::function<std::optional<QString>(QLatin1String name)> &valueOf);

    bool has(Field field) const { return (present & field) && !(malformed & field); }
    bool isMalformed(Field field) const { return malformed & field; }

    Digest digest; // of the newest algorithm the reply names
    QByteArray signature; // 64 bytes
    qint64 size = -1;
    int present = 0;
    int malformed = 0;
};

#endif // PACKAGECHECK_H
