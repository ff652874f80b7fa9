#ifndef PACKAGECHECK_H
#define PACKAGECHECK_H

#include "digest.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What the update server says about one offered package beside its Update record: the
// children "sha256", "signature" and "size" of its "request" element, each optional.
struct PackageCheck
{
    enum Field { Sha256 = 1, Signature = 2, Size = 4 };

    // Each text is the child's content, or nullopt when the child is missing. Surrounding
    // blanks are ignored; a present child whose text is not valid is recorded as malformed.
    static PackageCheck fromReply(const std::optional<QString> &sha256,
                                  const std::optional<QString> &signature,
                                  const std::optional<QString> &size);

    bool has(Field field) const { return (present & field) && !(malformed & field); }
    bool isMalformed(Field field) const { return malformed & field; }

    Digest digest; // the sha256 child's
    QByteArray signature; // 64 bytes
    qint64 size = -1;
    int present = 0;
    int malformed = 0;
};

#endif // PACKAGECHECK_H
