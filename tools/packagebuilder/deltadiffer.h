#ifndef DELTADIFFER_H
#define DELTADIFFER_H

#include <QByteArray>

// Makes the binary delta (see BinaryDelta) that turns oldFile into newFile. The matches are
// found on a suffix array of the old file (libdivsufsort) and extended into approximate ones,
// so that code whose addresses all shifted still matches: its differences are small numbers
// that compress well. The three streams are compressed with zstd. Memory: the two files and
// five times the old file's size.
class DeltaDiffer
{
public:
    DeltaDiffer() = delete;

    static QByteArray make(const QByteArray &oldFile, const QByteArray &newFile);
};

#endif // DELTADIFFER_H
