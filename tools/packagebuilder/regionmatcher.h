#ifndef REGIONMATCHER_H
#define REGIONMATCHER_H

#include <QByteArrayView>

#include <vector>

// Finds, for a window of the new file, the range of the old file its bytes most likely come
// from, so that a delta of a large file diffs each window against a bounded part of the old
// one. Both files are cut at content-defined anchors (where a rolling hash of the last 64
// bytes has its top bits clear, about one every 512 bytes); an anchor of the new file whose
// hash occurs once in the old file votes for that position. Time and memory grow with the
// files' sizes: one pass over each, and 16 bytes per anchor of the old file.
class RegionMatcher
{
public:
    struct Range
    {
        qint64 offset = 0;
        qint64 length = 0;
    };

    RegionMatcher(QByteArrayView oldFile, QByteArrayView newFile);

    // The range of `length` bytes of the old file for the new file's bytes from windowStart to
    // windowEnd: the one that holds most of their votes, widened to `length` around them, and
    // then started at the block of 64 KiB it starts in. The whole old file when it is no
    // longer.
    Range regionFor(qint64 windowStart, qint64 windowEnd, qint64 length) const;
    // The range of `length`, or the one of `widerLength` where that holds more of the window's
    // anchors by at least 1/128 of the anchors the window may have. So a window whose parts
    // moved apart, such as a library's symbol tables, finds them again, while the others keep
    // the narrower range: the wider one costs a delta half as much time again.
    Range regionFor(qint64 windowStart, qint64 windowEnd, qint64 length, qint64 widerLength) const;

private:
    struct Anchor
    {
        quint64 hash;
        qint64 position;
    };

    struct Match
    {
        qint64 oldPosition;
        qint64 newPosition;
    };

    // The window's anchors whose hash the old file holds once.
    std::vector<Match> matches(qint64 windowStart, qint64 windowEnd) const;
    // regionFor's range, from the window's matches.
    Range regionOf(const std::vector<Match> &found, qint64 windowStart, qint64 windowEnd,
                   qint64 length) const;

    qint64 oldSize;
    qint64 newSize;
    // The old file's anchors by hash, each hash once: a repeated one says nothing of where.
    std::vector<Anchor> oldAnchors;
    // The new file's anchors by position.
    std::vector<Anchor> newAnchors;
};

#endif // REGIONMATCHER_H
