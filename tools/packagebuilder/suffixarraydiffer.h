#ifndef SUFFIXARRAYDIFFER_H
#define SUFFIXARRAYDIFFER_H

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// Finds the steps of a suffix-array delta (see BinaryDelta) that turn a range of the old file
// into a window of the new one. The matches are found on a suffix array of the range
// (libdivsufsort) and extended into approximate ones, so that code whose addresses all shifted
// still matches: its differences are small numbers that compress well. Memory: five times the
// range's size and the window's.
class SuffixArrayDiffer
{
public:
    SuffixArrayDiffer() = delete;

    struct Step
    {
        qint64 diffLength;
        qint64 extraLength;
        qint64 seek;
    };
    // Positions are the range's: the first step starts at its first byte, and the last one
    // moves nowhere.
    struct Steps
    {
        std::vector<Step> steps;
        QByteArray diff;
        QByteArray extra;
    };

    static Steps diff(QByteArrayView oldRange, QByteArrayView newWindow);
};

#endif // SUFFIXARRAYDIFFER_H
