// Checks the reply key's signature on an update server reply, as the updater does before it
// reads the reply, in the single and the batched form.
//
// Input: the nonce, a line feed, the query, a line feed, then the reply. Without two line
// feeds the whole input is the reply, of an exchange without a nonce and with an empty query.
// The trusted keys are one that is no key and the Ed25519 key of the seed of 32 bytes 'k',
// with which make_corpora.py signs the seeds.
//
// Besides not crashing, a reply without "</signature>" must be unsigned, and a reply found
// valid must be valid for its own nonce, query and bytes only: another nonce, another query or
// its first byte changed must fail it.

#include "ed25519.h"
#include "fuzzrequire.h"
#include "replysignature.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList keys
        = {QStringLiteral("not a key"),
           QString::fromLatin1(Ed25519::publicKey(QByteArray(Ed25519::seedSize, 'k')).toBase64())};
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype nonceEnd = input.indexOf('\n');
    const qsizetype queryEnd = nonceEnd < 0 ? -1 : input.indexOf('\n', nonceEnd + 1);
    QByteArray nonce;
    QByteArray query;
    QByteArray reply = input;
    if (queryEnd >= 0) {
        nonce = input.left(nonceEnd);
        query = input.mid(nonceEnd + 1, queryEnd - nonceEnd - 1);
        reply = input.mid(queryEnd + 1);
    }

    const Failure refused = ReplySignature::verify(reply, keys, nonce, query);
    require(!refused || (refused.kind() == Failure::Reply && !refused.text().isEmpty()),
            "a refusal without its kind or reason");
    require(reply.contains("</signature>")
                || refused.text() == QLatin1String("the reply is not signed"),
            "signed without a signature element");
    if (refused)
        return 0;
    const QString notForThisExchange = ReplySignature::notForThisExchange().text();
    require(ReplySignature::verify(reply, keys, nonce + 'x', query).text() == notForThisExchange,
            "valid for another nonce");
    require(ReplySignature::verify(reply, keys, nonce, query + 'x').text() == notForThisExchange,
            "valid for another query");
    QByteArray altered = reply;
    altered[0] = char(altered.at(0) ^ 1);
    require(ReplySignature::verify(altered, keys, nonce, query).isFailure(),
            "valid with its first byte changed");
    return 0;
}
