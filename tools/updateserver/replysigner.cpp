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

std::chrono::microseconds ReplySigner::signWaiting()
{
    if (jobs.empty())
        return {};
    const auto now = std::chrono::steady_clock::now();
    const auto held = std::chrono::duration_cast<std::chrono::microseconds>(now - lastSigned);
    if (held < holdTime && jobs.size() < size_t(ReplySignature::maximumBatch))
        return holdTime - held;
    lastSigned = now;
    std::swap(batch, jobs);
    signBatch();
    batch.clear();
    // A reply finished by a signature may start another exchange that asks for one.
    return jobs.empty() ? std::chrono::microseconds() : holdTime;
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
