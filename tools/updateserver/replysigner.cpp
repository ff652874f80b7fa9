#include "replysigner.h"

#include "replysignature.h"
#include "servermetrics.h"
#include "signingkey.h"

#include <utility>

ReplySigner::ReplySigner(ServerMetrics *metrics)
    : metrics(metrics)
{ }

void ReplySigner::sign(std::shared_ptr<const SigningKey> key, const QByteArray &statement,
                       Client *client)
{
    jobs.push_back({std::move(key), statement, client});
}

void ReplySigner::signWaiting()
{
    // A reply finished by a signature may start another exchange that asks for one, which is
    // signed before the event loop blocks.
    while (!jobs.empty()) {
        std::swap(batch, jobs);
        signBatch();
        batch.clear();
    }
}

void ReplySigner::signBatch()
{
    QByteArrayList statements;
    for (auto first = batch.begin(); first != batch.end();) {
        // Whatever waits with the same key is signed at once: under load, one signature serves
        // many replies, and when idle each reply is signed alone, as soon as it asks.
        const std::shared_ptr<const SigningKey> key = first->key;
        auto last = first;
        statements.clear();
        while (last != batch.end() && last->key == key
               && statements.size() < qsizetype(ReplySignature::maximumBatch)) {
            statements << last->statement;
            ++last;
        }
        const QByteArrayList signatures
            = ReplySignature::signBatch(statements, [&key](const QByteArray &text) {
                  return key->sign(reinterpret_cast<const unsigned char *>(text.constData()),
                                   text.size());
              });
        if (metrics && !signatures.isEmpty())
            metrics->batchSigned(int(statements.size()));
        for (qsizetype at = 0; first != last; ++first, ++at)
            first->client->signatureMade(signatures.value(at));
    }
}
