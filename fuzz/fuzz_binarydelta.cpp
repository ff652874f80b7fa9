// Applies an arbitrary delta to a fixed old file, as the updater applies the deltas of a patch
// package: whatever the delta holds, the result is refused or is exactly the size its header
// names, never more than the bound.

#include "binarydelta.h"

#include <QBuffer>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const qint64 bound = 1 << 20;

QByteArray oldFile()
{
    QByteArray bytes;
    for (int i = 0; i < 4096; ++i)
        bytes.append(char(i * 31 % 251));
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArray old = oldFile();
    const QByteArray delta(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const bool applied = !BinaryDelta::apply(old, delta, &out, bound);
    if (out.data().size() > bound
        || (applied && out.data().size() != qFromLittleEndian<qint64>(delta.constData() + 8))) {
        fprintf(stderr, "wrong size: %lld\n", qlonglong(out.data().size()));
        abort();
    }
    return 0;
}
