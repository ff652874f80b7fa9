#include "rolloutposition.h"

#include "privatedirectory.h"
#include "replysignature.h"

#include <QRandomGenerator>

namespace {

const QByteArray fileName = QByteArrayLiteral("rollout-position");

} // namespace

std::optional<int> RolloutPosition::of(const PrivateDirectory &state)
{
    QByteArray kept;
    if (state.read(fileName, 16, &kept)) {
        const int position = parse(kept);
        if (position >= 0)
            return position;
    }
    const int drawn = int(QRandomGenerator::system()->bounded(ReplySignature::positions));
    if (!state.write(fileName, QByteArray::number(drawn) + '\n'))
        return std::nullopt;
    return drawn;
}

int RolloutPosition::parse(const QByteArray &bytes)
{
    if (!bytes.endsWith('\n'))
        return -1;
    const QByteArray digits = bytes.chopped(1);
    bool ok = false;
    const int position = digits.toInt(&ok);
    // Decimal digits alone, as written: no sign, blank or leading zero.
    return ok && position >= 0 && position < ReplySignature::positions
            && QByteArray::number(position) == digits
        ? position
        : -1;
}
