#include "suffixarraydiffer.h"

#include <divsufsort.h>

#include <cstring>
#include <vector>

namespace {

// How many leading bytes two ranges share.
qint64 sharedLength(const char *a, qint64 aSize, const char *b, qint64 bSize)
{
    const qint64 limit = qMin(aSize, bSize);
    qint64 i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// A suffix's first two bytes as one number; a suffix of one byte counts as that byte followed by
// a zero, before which it sorts.
int pairAt(const char *bytes, qint64 size)
{
    return (int(uchar(bytes[0])) << 8) | (size > 1 ? int(uchar(bytes[1])) : 0);
}

// Where the sorted suffixes that start with each pair of bytes begin, and after the last pair
// where they end: a match is searched among the suffixes of its first two bytes, a few steps
// instead of one for each doubling of the old file's size.
std::vector<qint64> pairStarts(QByteArrayView old)
{
    std::vector<qint64> starts(65537, 0);
    for (qint64 i = 0; i < old.size(); ++i)
        ++starts[size_t(pairAt(old.constData() + i, old.size() - i)) + 1];
    for (size_t pair = 1; pair < starts.size(); ++pair)
        starts[pair] += starts[pair - 1];
    return starts;
}

// The longest match of `wanted` among the old file's suffixes, by binary search on the sorted
// suffixes; its position goes to position.
qint64 longestMatch(const std::vector<saidx_t> &suffixes, const std::vector<qint64> &starts,
                    QByteArrayView old, const char *wanted, qint64 wantedSize, qint64 *position)
{
    const char *base = old.constData();
    const qint64 size = old.size();
    qint64 low = 0;
    qint64 high = qint64(suffixes.size()) - 1;
    const int pair = pairAt(wanted, wantedSize);
    if (wantedSize > 1 && starts[size_t(pair) + 1] > starts[size_t(pair)]) {
        low = starts[size_t(pair)];
        high = starts[size_t(pair) + 1] - 1;
    }
    while (high - low > 1) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 at = suffixes[size_t(middle)];
        const qint64 length = qMin(size - at, wantedSize);
        if (std::memcmp(base + at, wanted, size_t(length)) < 0)
            low = middle;
        else
            high = middle;
    }
    const qint64 lowAt = suffixes[size_t(low)];
    const qint64 highAt = suffixes[size_t(high)];
    const qint64 lowLength = sharedLength(base + lowAt, size - lowAt, wanted, wantedSize);
    const qint64 highLength = sharedLength(base + highAt, size - highAt, wanted, wantedSize);
    *position = lowLength >= highLength ? lowAt : highAt;
    return qMax(lowLength, highLength);
}

} // namespace

SuffixArrayDiffer::Steps SuffixArrayDiffer::diff(QByteArrayView oldFile, QByteArrayView newFile)
{
    const char *old = oldFile.data();
    const char *now = newFile.data();
    const qint64 oldSize = oldFile.size();
    const qint64 newSize = newFile.size();
    std::vector<saidx_t> suffixes(size_t(qMax<qint64>(oldSize, 1)), 0);
    if (oldSize > 0)
        divsufsort(reinterpret_cast<const sauchar_t *>(old), suffixes.data(), saidx_t(oldSize));
    const std::vector<qint64> starts = pairStarts(oldFile);

    Steps made;
    const auto emitStep
        = [&](qint64 from, qint64 oldFrom, qint64 diffLength, qint64 extraLength, qint64 seek) {
              const qsizetype at = made.diff.size();
              made.diff.resize(at + diffLength);
              char *diff = made.diff.data() + at;
              for (qint64 i = 0; i < diffLength; ++i)
                  diff[i] = char(now[from + i] - old[oldFrom + i]);
              made.extra.append(now + from + diffLength, extraLength);
              // A step that makes nothing only moves: after the first, its move joins the last one.
              if (diffLength + extraLength == 0 && !made.steps.empty())
                  made.steps.back().seek += seek;
              else
                  made.steps.push_back({diffLength, extraLength, seek});
          };

    qint64 scan = 0;
    qint64 length = 0;
    qint64 position = 0;
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    while (scan < newSize) {
        qint64 oldScore = 0;
        qint64 scored = scan += length;
        for (; scan < newSize; ++scan) {
            length = oldSize > 0
                ? longestMatch(suffixes, starts, oldFile, now + scan, newSize - scan, &position)
                : 0;
            for (; scored < scan + length; ++scored) {
                if (scored + lastOffset < oldSize && old[scored + lastOffset] == now[scored])
                    ++oldScore;
            }
            // A match is taken when it is exact where the last one would have gone on, or
            // clearly longer than what going on would give.
            if ((length == oldScore && length != 0) || length > oldScore + 8)
                break;
            if (scan + lastOffset < oldSize && old[scan + lastOffset] == now[scan])
                --oldScore;
        }
        if (length == oldScore && scan != newSize)
            continue;

        // Extends the last match forwards and this one backwards, as far as at least half of
        // the bytes still agree.
        qint64 forward = 0;
        for (qint64 i = 0, same = 0, best = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
            if (old[lastPosition + i] == now[lastScan + i])
                ++same;
            ++i;
            if (same * 2 - i > best * 2 - forward) {
                best = same;
                forward = i;
            }
        }
        qint64 backward = 0;
        if (scan < newSize) {
            for (qint64 i = 1, same = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                if (old[position - i] == now[scan - i])
                    ++same;
                if (same * 2 - i > best * 2 - backward) {
                    best = same;
                    backward = i;
                }
            }
        }
        // Where the two extensions overlap, the split goes where the bytes agree best.
        if (lastScan + forward > scan - backward) {
            const qint64 overlap = (lastScan + forward) - (scan - backward);
            qint64 split = 0;
            for (qint64 i = 0, score = 0, best = 0; i < overlap; ++i) {
                if (now[lastScan + forward - overlap + i]
                    == old[lastPosition + forward - overlap + i])
                    ++score;
                if (now[scan - backward + i] == old[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        emitStep(lastScan, lastPosition, forward, (scan - backward) - (lastScan + forward),
                 (position - backward) - (lastPosition + forward));
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }

    if (!made.steps.empty())
        made.steps.back().seek = 0;
    return made;
}
