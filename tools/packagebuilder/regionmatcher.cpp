#include "regionmatcher.h"

#include <algorithm>
#include <array>

namespace {

const qint64 blockSize = 64 * 1024;
// An anchor where the hash's top nine bits are clear: one position in 512, on average.
const int anchorBits = 9;
const quint64 anchorMask = ~quint64(0) << (64 - anchorBits);
const qint64 anchorSpacing = qint64(1) << anchorBits;

// One random number per byte value, the same in every run so that deltas are reproducible.
std::array<quint64, 256> gearTable()
{
    std::array<quint64, 256> table {};
    quint64 state = 0x9e3779b97f4a7c15u;
    for (quint64 &entry : table) {
        // splitmix64
        quint64 z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        entry = z ^ (z >> 31);
    }
    return table;
}

// Each bit of the hash depends on fewer bytes the lower it is: the top one on the last 64.
template<typename Visit> void forEachAnchor(QByteArrayView bytes, Visit visit)
{
    static const std::array<quint64, 256> gear = gearTable();
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    quint64 hash = 0;
    for (qint64 i = 0; i < bytes.size(); ++i) {
        hash = (hash << 1) + gear[data[i]];
        if (i >= 63 && (hash & anchorMask) == 0)
            visit(hash, i);
    }
}

} // namespace

RegionMatcher::RegionMatcher(QByteArrayView oldFile, QByteArrayView newFile)
    : oldSize(oldFile.size())
    , newSize(newFile.size())
{
    forEachAnchor(oldFile, [this](quint64 hash, qint64 at) { oldAnchors.push_back({hash, at}); });
    std::sort(oldAnchors.begin(), oldAnchors.end(), [](const Anchor &a, const Anchor &b) {
        return a.hash < b.hash || (a.hash == b.hash && a.position < b.position);
    });
    std::vector<Anchor> unique;
    for (size_t i = 0; i < oldAnchors.size();) {
        size_t j = i + 1;
        while (j < oldAnchors.size() && oldAnchors[j].hash == oldAnchors[i].hash)
            ++j;
        if (j == i + 1)
            unique.push_back(oldAnchors[i]);
        i = j;
    }
    oldAnchors.swap(unique);
    forEachAnchor(newFile, [this](quint64 hash, qint64 at) { newAnchors.push_back({hash, at}); });
}

std::vector<RegionMatcher::Match> RegionMatcher::matches(qint64 windowStart, qint64 windowEnd) const
{
    std::vector<Match> found;
    const auto byPosition = [](const Anchor &a, qint64 at) { return a.position < at; };
    for (auto it = std::lower_bound(newAnchors.begin(), newAnchors.end(), windowStart, byPosition);
         it != newAnchors.end() && it->position < windowEnd; ++it) {
        const auto old
            = std::lower_bound(oldAnchors.begin(), oldAnchors.end(), it->hash,
                               [](const Anchor &a, quint64 hash) { return a.hash < hash; });
        if (old != oldAnchors.end() && old->hash == it->hash)
            found.push_back({old->position, it->position});
    }
    return found;
}

RegionMatcher::Range RegionMatcher::regionFor(qint64 windowStart, qint64 windowEnd,
                                              qint64 length) const
{
    return regionOf(matches(windowStart, windowEnd), windowStart, windowEnd, length);
}

RegionMatcher::Range RegionMatcher::regionOf(const std::vector<Match> &found, qint64 windowStart,
                                             qint64 windowEnd, qint64 length) const
{
    if (oldSize <= length)
        return {0, oldSize};

    // Where the window's anchors lie in the old file, moved back to where the window would
    // start there.
    std::vector<qint64> votes;
    for (const Match &match : found)
        votes.push_back(match.oldPosition - (match.newPosition - windowStart));
    std::sort(votes.begin(), votes.end());

    // The span of starts that holds the most votes and still leaves room for the window.
    const qint64 span = qMax<qint64>(0, length - (windowEnd - windowStart));
    qint64 start = windowStart * oldSize / qMax<qint64>(newSize, 1);
    qint64 end = start;
    size_t best = 0;
    for (size_t first = 0, last = 0; last < votes.size(); ++last) {
        while (votes[last] - votes[first] > span)
            ++first;
        if (last - first + 1 > best) {
            best = last - first + 1;
            start = votes[first];
            end = votes[last];
        }
    }
    // Widened evenly to the length, moved inside the file, and started at a block.
    start -= (span - (end - start)) / 2;
    start = qBound<qint64>(0, start, oldSize - length);
    const qint64 aligned = start - start % blockSize;
    return {aligned, start + length - aligned};
}

RegionMatcher::Range RegionMatcher::regionFor(qint64 windowStart, qint64 windowEnd, qint64 length,
                                              qint64 widerLength) const
{
    const std::vector<Match> found = matches(windowStart, windowEnd);
    const Range narrow = regionOf(found, windowStart, windowEnd, length);
    const Range wide = regionOf(found, windowStart, windowEnd, widerLength);
    qint64 gained = 0;
    for (const Match &match : found) {
        const auto in = [&match](const Range &range) {
            return match.oldPosition >= range.offset
                && match.oldPosition < range.offset + range.length;
        };
        gained += int(in(wide)) - int(in(narrow));
    }
    const qint64 possibleAnchors = (windowEnd - windowStart) / anchorSpacing;
    return gained * 128 >= qMax<qint64>(possibleAnchors, 1) ? wide : narrow;
}
