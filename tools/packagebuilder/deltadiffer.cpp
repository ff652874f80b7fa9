#include "deltadiffer.h"

#include "binarydelta.h"
#include "regionmatcher.h"
#include "suffixarraydiffer.h"

#include <QThreadPool>
#include <QtEndian>

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <variant>

namespace {

// On a file of several windows, every window is diffed with zstd, which is cheap, and with the
// suffix array, which costs several times as much, only where zstd's frame is under this share
// of the window. Where most of a window is found in its range (code that shifted) the suffix
// array's approximate matches win; where much is new, zstd does (on two windows of a large
// library, 14 % and 32 %, the suffix array's delta came out 0.86 and 1.15 times zstd's).
const double suffixArrayBelow = 0.25;
const int level = 19;
const double shallowGain = 0.02;

void appendNumber(QByteArray *to, qint64 value)
{
    char bytes[8];
    qToLittleEndian<qint64>(value, bytes);
    to->append(bytes, 8);
}

QByteArray compressed(QByteArrayView bytes)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(bytes.size()))), Qt::Uninitialized);
    const size_t size
        = ZSTD_compress(out.data(), size_t(out.size()), bytes.data(), size_t(bytes.size()), level);
    out.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return out;
}

// How zstd parses a window. The levels that parse best index the whole prefix into binary trees,
// which costs about ten times what level 12 does: Full makes the delta of a file of one window
// only. Lazy, level 12 with a larger hash table, is the one every window of a larger file takes.
// Shallow is the optimal parser over binary trees that reach 512 Ki positions back, searched 8
// deep, three to four times Lazy's cost: on the windows of a large library that Lazy leaves a
// quarter or more of, 1 % to 34 % smaller (5.5 % in all). Where most of a window comes from far
// back in its range (a large browser's executable), only Lazy's larger hash table finds it, and
// Shallow's frame is larger: a file's windows are parsed again only where its window that Lazy
// left most of came out smaller by at least shallowGain.
enum class Parse { Full, Lazy, Shallow };

// The window compressed with the range as its prefix, and a window that reaches from the
// window's end back to the range's start.
QByteArray zstdFrame(QByteArrayView range, QByteArrayView window, Parse parse)
{
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    int windowLog = 10; // zstd's smallest
    while ((qint64(1) << windowLog) < range.size() + window.size())
        ++windowLog;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    switch (parse) {
    case Parse::Full:
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        // Matches farther back than the binary trees reach.
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
        break;
    case Parse::Lazy:
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 12);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_hashLog, 24);
        break;
    case Parse::Shallow:
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_chainLog, 20);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_searchLog, 3);
        break;
    }
    ZSTD_CCtx_refPrefix(context.get(), range.data(), size_t(range.size()));
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(window.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context.get(), out.data(), size_t(out.size()), window.data(),
                                       size_t(window.size()));
    out.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return out;
}

QByteArray controlStream(const std::vector<SuffixArrayDiffer::Step> &steps)
{
    QByteArray control;
    control.reserve(qsizetype(steps.size() * 24));
    for (const SuffixArrayDiffer::Step &step : steps) {
        appendNumber(&control, step.diffLength);
        appendNumber(&control, step.extraLength);
        appendNumber(&control, step.seek);
    }
    return control;
}

// The streams of a suffix-array delta after its header: their sizes, then the streams.
QByteArray suffixArrayStreams(const std::vector<SuffixArrayDiffer::Step> &steps,
                              const QByteArray &diff, const QByteArray &extra)
{
    const QByteArray packedControl = compressed(controlStream(steps));
    const QByteArray packedDiff = compressed(diff);
    QByteArray streams;
    appendNumber(&streams, packedControl.size());
    appendNumber(&streams, packedDiff.size());
    return streams + packedControl + packedDiff + compressed(extra);
}

struct Window
{
    qint64 start;
    qint64 end;
    RegionMatcher::Range range;
};

// A window of a file of several, diffed with the suffix array: its steps, for a delta of the
// whole file made that way, and the delta of the window alone, for one of window deltas.
struct SuffixArrayWindow
{
    SuffixArrayDiffer::Steps steps;
    QByteArray delta;
};

// What a method keeps of one window until the file's delta is put together; nothing for a window
// it did not diff.
using WindowDelta = std::variant<std::monostate, SuffixArrayWindow, QByteArray>;

WindowDelta diffSuffixArray(QByteArrayView range, QByteArrayView window, bool wholeFile)
{
    SuffixArrayWindow made {SuffixArrayDiffer::diff(range, window), {}};
    if (!wholeFile) {
        made.delta = BinaryDelta::header(DeltaMethod::SuffixArray, window.size())
            + suffixArrayStreams(made.steps.steps, made.steps.diff, made.steps.extra);
    }
    return made;
}

// What the window's delta takes in a delta of window deltas.
qint64 suffixArraySize(const WindowDelta &part)
{
    return std::get<SuffixArrayWindow>(part).delta.size();
}

// The windows' steps joined into one list: each window's first step is reached by moving from
// where the last one left off to its range.
QByteArray joinSuffixArray(QByteArray delta, const std::vector<Window> &windows,
                           std::vector<WindowDelta> &parts)
{
    std::vector<SuffixArrayDiffer::Step> joined;
    QByteArray diff;
    QByteArray extra;
    qint64 position = 0;
    qint64 move = 0;
    for (size_t i = 0; i < windows.size(); ++i) {
        auto &steps = std::get<SuffixArrayWindow>(parts[i]).steps;
        move += windows[i].range.offset - position;
        position = windows[i].range.offset;
        for (const SuffixArrayDiffer::Step &step : steps.steps) {
            position += step.diffLength + step.seek;
            if (step.diffLength + step.extraLength == 0) {
                move += step.seek;
                continue;
            }
            if (joined.empty() && move != 0)
                joined.push_back({0, 0, move});
            else if (!joined.empty())
                joined.back().seek += move;
            move = 0;
            joined.push_back(step);
        }
        diff += steps.diff;
        extra += steps.extra;
        parts[i] = {};
    }
    return delta + suffixArrayStreams(joined, diff, extra);
}

WindowDelta diffZstdPatch(QByteArrayView range, QByteArrayView window, bool wholeFile)
{
    return zstdFrame(range, window, wholeFile ? Parse::Full : Parse::Lazy);
}

// What the window's delta takes in a delta of window deltas: a delta of one window.
qint64 zstdPatchSize(const WindowDelta &part)
{
    return BinaryDelta::headerSize + BinaryDelta::windowHeaderSize
        + std::get<QByteArray>(part).size();
}

void appendWindowHeader(QByteArray *delta, const Window &window, qint64 size)
{
    appendNumber(delta, window.range.offset);
    appendNumber(delta, window.range.length);
    appendNumber(delta, window.end - window.start);
    appendNumber(delta, size);
}

QByteArray joinZstdPatch(QByteArray delta, const std::vector<Window> &windows,
                         std::vector<WindowDelta> &parts)
{
    for (size_t i = 0; i < windows.size(); ++i) {
        const QByteArray &frame = std::get<QByteArray>(parts[i]);
        appendWindowHeader(&delta, windows[i], frame.size());
        delta += frame;
        parts[i] = {};
    }
    return delta;
}

// Every method a delta may be made with. On a tie the earlier row's delta is kept: the
// suffix-array delta comes first, since more updaters apply it.
const struct
{
    DeltaMethod method;
    WindowDelta (*diff)(QByteArrayView range, QByteArrayView window, bool wholeFile);
    // The size of the window's own delta, by which the methods are compared on one window of a
    // file of several.
    qint64 (*size)(const WindowDelta &part);
    // The delta, its header given, made of every window's part; the parts are spent.
    QByteArray (*join)(QByteArray header, const std::vector<Window> &windows,
                       std::vector<WindowDelta> &parts);
} differs[] = {
    {DeltaMethod::SuffixArray, diffSuffixArray, suffixArraySize, joinSuffixArray},
    {DeltaMethod::ZstdPatch, diffZstdPatch, zstdPatchSize, joinZstdPatch},
};
const size_t differCount = std::size(differs);
const size_t suffixArrayRow = 0;
const size_t zstdRow = 1;

// The window's own delta, turning its range into its bytes.
QByteArray windowDelta(size_t differ, const Window &window, const WindowDelta &part)
{
    if (differs[differ].method == DeltaMethod::SuffixArray)
        return std::get<SuffixArrayWindow>(part).delta;
    const QByteArray &frame = std::get<QByteArray>(part);
    QByteArray delta = BinaryDelta::header(DeltaMethod::ZstdPatch, window.end - window.start);
    appendWindowHeader(&delta, {window.start, window.end, {0, window.range.length}}, frame.size());
    return delta + frame;
}

} // namespace

struct DeltaDiffer::File
{
    QByteArrayView oldFile;
    QByteArrayView newFile;
    int priority;
    std::vector<Window> windows;
    // By differ, then by window.
    std::vector<std::vector<WindowDelta>> parts;
    std::atomic<size_t> pending {0};
    // The windows still to be diffed with Lazy, and those Lazy left a quarter or more of.
    std::atomic<size_t> lazyLeft {0};
    std::vector<size_t> shallowWindows;
    QByteArray delta;
};

DeltaDiffer::DeltaDiffer(QThreadPool *pool, qint64 windowSize)
    : pool(pool)
    , windowSize(windowSize)
{ }

DeltaDiffer::~DeltaDiffer()
{
    pool->waitForDone();
}

int DeltaDiffer::add(QByteArrayView oldFile, QByteArrayView newFile)
{
    auto file = std::make_unique<File>();
    file->oldFile = oldFile;
    file->newFile = newFile;
    // The largest first, so that the last to finish are small.
    file->priority = int(newFile.size() >> 16);
    File *started = file.get();
    files.push_back(std::move(file));
    pool->start([this, started] { plan(started); }, started->priority);
    return int(files.size() - 1);
}

QByteArray DeltaDiffer::delta(int index) const
{
    return files.at(size_t(index))->delta;
}

QByteArray DeltaDiffer::make(QByteArrayView oldFile, QByteArrayView newFile, qint64 windowSize)
{
    QThreadPool pool;
    DeltaDiffer differ(&pool, windowSize);
    const int index = differ.add(oldFile, newFile);
    pool.waitForDone();
    return differ.delta(index);
}

void DeltaDiffer::plan(File *file)
{
    const qint64 size = file->newFile.size();
    // Room for code that moved, within what the windows of files of a few hundred MiB may cost.
    const qint64 rangeSize = 2 * windowSize;
    std::unique_ptr<RegionMatcher> matcher;
    if (size > windowSize || file->oldFile.size() > rangeSize)
        matcher = std::make_unique<RegionMatcher>(file->oldFile, file->newFile);
    for (qint64 start = 0; start < size; start += windowSize) {
        const qint64 end = qMin(size, start + windowSize);
        file->windows.push_back({start, end,
                                 matcher ? matcher->regionFor(start, end, rangeSize)
                                         : RegionMatcher::Range {0, file->oldFile.size()}});
    }
    file->parts.assign(differCount, std::vector<WindowDelta>(file->windows.size()));
    if (file->windows.size() > 1)
        file->lazyLeft = file->windows.size();
    std::vector<Task> tasks;
    for (size_t i = 0; i < file->windows.size(); ++i) {
        for (size_t differ = 0; differ < differCount; ++differ) {
            if (file->windows.size() == 1 || differ == zstdRow)
                tasks.push_back({differ, i, false});
        }
    }
    if (tasks.empty())
        finish(file);
    else
        start(file, tasks);
}

void DeltaDiffer::start(File *file, const std::vector<Task> &tasks)
{
    // Counted before the first starts, so that none can finish the file early.
    file->pending += tasks.size();
    for (const Task &task : tasks)
        pool->start([this, file, task] { run(file, task); }, file->priority);
}

void DeltaDiffer::run(File *file, Task task)
{
    const Window &window = file->windows[task.window];
    const QByteArrayView range = file->oldFile.sliced(window.range.offset, window.range.length);
    const QByteArrayView bytes = file->newFile.sliced(window.start, window.end - window.start);
    if (task.shallow) {
        shallow(file, task.window, zstdFrame(range, bytes, Parse::Shallow));
    } else {
        WindowDelta &part = file->parts[task.differ][task.window];
        part = differs[task.differ].diff(range, bytes, file->windows.size() == 1);
        const QByteArray *frame = std::get_if<QByteArray>(&part);
        if (file->windows.size() > 1 && frame) {
            if (double(frame->size()) < suffixArrayBelow * double(bytes.size()))
                start(file, {{suffixArrayRow, task.window, false}});
            if (--file->lazyLeft == 0)
                probeShallow(file);
        }
    }
    if (--file->pending == 0)
        finish(file);
}

// Once Lazy made every window: the window it left most of (the first of equals) is parsed again
// first, and decides for the others.
void DeltaDiffer::probeShallow(File *file)
{
    const auto frameSize = [file](size_t window) {
        return std::get<QByteArray>(file->parts[zstdRow][window]).size();
    };
    std::vector<size_t> &windows = file->shallowWindows;
    for (size_t i = 0; i < file->windows.size(); ++i) {
        const Window &window = file->windows[i];
        if (double(frameSize(i)) >= suffixArrayBelow * double(window.end - window.start))
            windows.push_back(i);
    }
    if (windows.empty())
        return;
    std::iter_swap(windows.begin(),
                   std::max_element(windows.begin(), windows.end(), [&](size_t a, size_t b) {
                       return frameSize(a) < frameSize(b);
                   }));
    start(file, {{zstdRow, windows.front(), true}});
}

void DeltaDiffer::shallow(File *file, size_t window, const QByteArray &parsed)
{
    QByteArray &frame = std::get<QByteArray>(file->parts[zstdRow][window]);
    const bool pays
        = !parsed.isEmpty() && double(parsed.size()) <= (1 - shallowGain) * double(frame.size());
    if (window == file->shallowWindows.front() && pays) {
        std::vector<Task> tasks;
        for (size_t i = 1; i < file->shallowWindows.size(); ++i)
            tasks.push_back({zstdRow, file->shallowWindows[i], true});
        start(file, tasks);
    }
    if (!parsed.isEmpty() && parsed.size() < frame.size())
        frame = parsed;
}

void DeltaDiffer::finish(File *file)
{
    // Each window of a file of several takes the smaller of its deltas; a method that every
    // window takes makes the whole file's delta, which older updaters apply too.
    std::vector<size_t> taken;
    for (size_t i = 0; file->windows.size() > 1 && i < file->windows.size(); ++i) {
        size_t best = differCount;
        for (size_t differ = 0; differ < differCount; ++differ) {
            const WindowDelta &part = file->parts[differ][i];
            if (part.index() != 0
                && (best == differCount
                    || differs[differ].size(part) < differs[best].size(file->parts[best][i])))
                best = differ;
        }
        taken.push_back(best);
    }
    if (!taken.empty()
        && std::adjacent_find(taken.begin(), taken.end(), std::not_equal_to<>()) != taken.end()) {
        file->delta = BinaryDelta::header(DeltaMethod::WindowDeltas, file->newFile.size());
        for (size_t i = 0; i < taken.size(); ++i) {
            const QByteArray own
                = windowDelta(taken[i], file->windows[i], file->parts[taken[i]][i]);
            appendWindowHeader(&file->delta, file->windows[i], own.size());
            file->delta += own;
        }
        file->parts.clear();
        return;
    }
    bool chosen = false;
    for (size_t differ = 0; differ < differCount; ++differ) {
        if (!taken.empty() && differ != taken.front())
            continue;
        const QByteArray delta = differs[differ].join(
            BinaryDelta::header(differs[differ].method, file->newFile.size()), file->windows,
            file->parts[differ]);
        if (!chosen || delta.size() < file->delta.size())
            file->delta = delta;
        chosen = true;
    }
    file->parts.clear();
}
