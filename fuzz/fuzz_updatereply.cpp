// Feeds an update server reply to UpdateReply in pieces, as a socket would deliver it.
//
// Input: byte 0 holds in its low four bits the number n of piece lengths that follow; bytes
// 1..n are those lengths (0 gives an empty piece); the rest of the input, after the pieces,
// is the last piece. A first byte '0' therefore feeds the rest in one piece.
//
// Besides not crashing, the reply must become complete exactly when the bytes received so far
// first form a well-formed document, as a parse of the whole buffer after every piece says,
// and every package check taken from it must hold values of the right shape.
//
// No XML text may hold a NUL character, and Qt's reader treats one inconsistently: whole,
// "<u>]]\0q></u" parses as <u>]]q></u>, in pieces it is an error. A reply with a NUL only has
// to stay incomplete until it parses.

#include "fuzzrequire.h"
#include "packagecheck.h"
#include "updatereply.h"

#include <QDomDocument>
#include <QStringDecoder>

#include <cstdint>

namespace {

bool holdsNul(const QByteArray &reply)
{
    if (reply.startsWith("\xff\xfe") || reply.startsWith("\xfe\xff")) {
        QStringDecoder utf16(QStringConverter::Utf16);
        return QString(utf16(reply)).contains(QChar(0));
    }
    return reply.contains('\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype count = qMin<qsizetype>(data[0] & 0x0f, qsizetype(size) - 1);
    const char *reply = reinterpret_cast<const char *>(data) + 1 + count;
    const qsizetype replySize = qsizetype(size) - 1 - count;
    const bool exact = !holdsNul(QByteArray::fromRawData(reply, replySize));

    UpdateReply updateReply;
    QByteArray received;
    bool wellFormed = false;
    qsizetype at = 0;
    for (qsizetype piece = 0; piece <= count; ++piece) {
        const qsizetype length
            = piece < count ? qMin<qsizetype>(data[1 + piece], replySize - at) : replySize - at;
        const QByteArray bytes(reply + at, length);
        at += length;

        const bool refused = updateReply.append(bytes).isFailure();
        require(!refused || !updateReply.isComplete(), "complete and refused");
        if (!wellFormed) {
            received += bytes;
            wellFormed = QDomDocument().setContent(received, false);
        }
        // A reply this small is never too large.
        require(!updateReply.isComplete() || wellFormed, "complete before well-formed");
        // Well-formed is not enough: a document type or a reply beyond the bounds is refused.
        require(updateReply.isComplete() || refused || !wellFormed || !exact,
                "well-formed reply neither complete nor refused");
    }

    const QVector<OfferedPackage> offers = updateReply.offers();
    require(wellFormed || offers.isEmpty(), "offers from an incomplete reply");
    for (const OfferedPackage &offer : offers) {
        const PackageCheck &check = offer.check;
        require(!check.has(PackageCheck::Checksum) || check.digest.isValid(), "sha256 size");
        require(!check.has(PackageCheck::Signature) || check.signature.size() == 64,
                "signature size");
        require(!check.has(PackageCheck::Size) || check.size >= 0, "negative size");
    }
    return 0;
}
