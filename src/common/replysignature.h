#ifndef REPLYSIGNATURE_H
#define REPLYSIGNATURE_H

#include "failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The signed reply: the update server signs each reply with its reply key (Ed25519), over the
// exact reply bytes, the exact query and a fresh nonce of the updater's, so that no reply fits
// another exchange.
//
// The updater sends the nonce in front of the query, which it leaves as the messenger wrote it:
//
//     <nonce>44 characters: 32 random bytes in base64</nonce><s>...</s>
//
// An updater that takes part in staged rollouts sends its rollout position (0 to 9999, decimal,
// no leading zeros) after the nonce:
//
//     <nonce>...</nonce><position>1234</position><s>...</s>
//
// The server answers with its reply document, whose root element ends with the signature:
//
//     <update>...<signature>88 characters: 64 bytes in base64</signature></update>
//
// The signature covers this statement, each line ending with a line feed:
//
//     vorn-reply-statement 1
//     nonce <the nonce as sent; empty when none was>
//     position <the position as sent; this line only when the query carried one>
//     query-sha256 <SHA-256 of the query, from its first "<s>" through the "</s>" after it>
//     reply-sha256 <SHA-256 of the reply bytes without the signature element>
//
// A busy server signs the statements of the replies waiting for it at once: it signs the root of
// a hash tree over them, and each reply's signature element carries, after the signature, the
// statement's place among the tree's leaves and the digests that lead from it to the root. One
// signature then serves a whole batch, and each reply still proves only its own exchange.
//
// A reader that knows nothing of signatures skips both elements: the nonce stands before the
// query, the signature is an element no request is.
class ReplySignature
{
public:
    ReplySignature() = delete;

    static constexpr int nonceSize = 32;
    // Statements signed at once: the tree is at most six levels deep.
    static constexpr int maximumBatch = 64;
    // Rollout positions run from 0 to positions - 1.
    static constexpr int positions = 10000;

    // A fresh nonce from the system's random source, in base64; empty when none can be had.
    static QByteArray newNonce();
    static QByteArray nonceElement(const QByteArray &nonce);
    // The nonce of a nonce element that makes up the whole of bytesBeforeQuery, or is followed
    // by a position element alone; empty when they are anything else.
    static QByteArray nonceIn(const QByteArray &bytesBeforeQuery);
    static QByteArray positionElement(int position);
    // The position of the position element that follows the nonce element in bytesBeforeQuery;
    // none when there is no such element, or when it holds anything but a position in range
    // as the updater writes it.
    static std::optional<int> positionIn(const QByteArray &bytesBeforeQuery);

    static QByteArray statement(const QByteArray &nonce, const QByteArray &query,
                                const QByteArray &unsignedReply,
                                std::optional<int> position = std::nullopt);
    // The same from the two digests, for a reply hashed as it is written.
    static QByteArray statementOf(const QByteArray &nonce, const QByteArray &querySha256,
                                  const QByteArray &replySha256,
                                  std::optional<int> position = std::nullopt);
    // The signature of each statement, signing once with sign (which returns an Ed25519
    // signature, or empty when the key cannot sign): a plain signature for a single statement,
    // one for the tree's root with the way to it for several. Empty when signing failed.
    static QByteArrayList signBatch(const QByteArrayList &statements,
                                    const std::function<QByteArray(const QByteArray &)> &sign);
    // The element that carries what signBatch() returned for one statement, then the bytes
    // that follow it, in one buffer; and the element's largest size.
    static QByteArray signatureElement(const QByteArray &signature, QByteArrayView followedBy = {});
    static constexpr int maximumSignatureElementSize = 367;
    // The reply with the element that carries signature before its closing root tag; empty
    // when the reply has no closing tag.
    static QByteArray withSignature(const QByteArray &reply, const QByteArray &signature);
    // The reply with its signature element for this nonce, query and position; empty when the
    // seed is no key or the reply has no closing tag.
    static QByteArray sign(const QByteArray &reply, const QByteArray &seed, const QByteArray &nonce,
                           const QByteArray &query, std::optional<int> position = std::nullopt);
    // Whether one of the keys (base64) signed this reply for this nonce, query and position:
    // no failure when one did, else one of kind Reply whose text says why, for the log: the
    // reply is not signed (no signature element before the closing root tag), its signature is
    // malformed, or no trusted key signed it for this exchange. A reply signed for another
    // position, or without the one sent, fits another exchange.
    static Failure verify(const QByteArray &reply, const QStringList &keys, const QByteArray &nonce,
                          const QByteArray &query, std::optional<int> position = std::nullopt);
    // The last of those: also the verdict on any reply to an exchange that had no nonce.
    static Failure notForThisExchange();
    // Has OpenSSL set up once what verify() asks of it with these keys (its configuration, the
    // digest, the key type and the signature scheme), so that a caller can do it while it
    // waits anyway: that set-up costs several times the verification itself.
    static void prepareVerification(const QStringList &keys);
};

#endif // REPLYSIGNATURE_H
