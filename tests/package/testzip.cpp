#include "testzip.h"

#include <QtEndian>

namespace TestZip {

namespace {

const char localSignature[] = "PK\x03\x04";
const char centralSignature[] = "PK\x01\x02";

// Header start of the entry's local (central == false) or central header.
qsizetype findHeader(const QByteArray &zip, const QByteArray &name, bool central)
{
    const QByteArray signature(central ? centralSignature : localSignature, 4);
    const int nameField = central ? 46 : 30;
    const int nameLength = central ? 28 : 26;
    for (qsizetype at = zip.indexOf(signature); at >= 0; at = zip.indexOf(signature, at + 1)) {
        if (at + nameField > zip.size())
            break;
        const quint16 length = qFromLittleEndian<quint16>(zip.constData() + at + nameLength);
        if (zip.mid(at + nameField, length) == name)
            return at;
    }
    return -1;
}

template<typename T>
bool patchBoth(QByteArray &zip, const QByteArray &name, int localField, int centralField, T value)
{
    const qsizetype local = findHeader(zip, name, false);
    const qsizetype central = findHeader(zip, name, true);
    if (local < 0 || central < 0)
        return false;
    qToLittleEndian<T>(value, zip.data() + local + localField);
    qToLittleEndian<T>(value, zip.data() + central + centralField);
    return true;
}

} // namespace

qsizetype dataOffset(const QByteArray &zip, const QByteArray &name)
{
    const qsizetype local = findHeader(zip, name, false);
    if (local < 0)
        return -1;
    const quint16 nameLength = qFromLittleEndian<quint16>(zip.constData() + local + 26);
    const quint16 extraLength = qFromLittleEndian<quint16>(zip.constData() + local + 28);
    return local + 30 + nameLength + extraLength;
}

bool setDeclaredSize(QByteArray &zip, const QByteArray &name, quint32 size)
{
    return patchBoth<quint32>(zip, name, 22, 24, size);
}

bool shareBytes(QByteArray &zip, const QByteArray &name, const QByteArray &sharedName)
{
    const qsizetype central = findHeader(zip, name, true);
    const qsizetype shared = findHeader(zip, sharedName, false);
    if (central < 0 || shared < 0)
        return false;
    qToLittleEndian<quint32>(quint32(shared), zip.data() + central + 42);
    return true;
}

bool setMethod(QByteArray &zip, const QByteArray &name, quint16 method)
{
    return patchBoth<quint16>(zip, name, 8, 10, method);
}

} // namespace TestZip
