#include "deltadiffer.h"

#include "binarydelta.h"
#include "regionmatcher.h"
#include "suffixarraydiffer.h"

#include <QThreadPool>
#include <QtEndian>

#include <zstd.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <variant>

namespace {

const int level = 19;

void appendNumber(QByteArray *to, qint64 value)
{
    char bytes[8];
    qToLittleEndian<qint64>(value, bytes);
    to->append(bytes, 8);
}

// The suffix array's streams are compressed in a window of zstd's block size: the updater's
// decoder holds a buffer as large as a frame's window, and pages first touched are dear on some
// machines (11 us each on a virtual one here). A library's diff stream of 4.5 MiB took 17.5 ms
// to decode in a window of its size and 3.5 ms in this one, and came out 400 bytes smaller: its
// matches are near.
const int streamWindowLog = 17;

using Compressor = std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)>;

// A compressor at the builder's level, in a window of 2^windowLog bytes.
Compressor compressor(int windowLog)
{
    Compressor context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    return context;
}

// One frame of the bytes; empty when zstd fails.
QByteArray frameOf(const Compressor &context, QByteArrayView bytes)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(bytes.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context.get(), out.data(), size_t(out.size()), bytes.data(),
                                       size_t(bytes.size()));
    out.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return out;
}

QByteArray compressed(QByteArrayView bytes)
{
    return frameOf(compressor(streamWindowLog), bytes);
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

// What a method keeps of one window until the file's delta is put together: the suffix array's
// steps, or zstd's frame.
using WindowDelta = std::variant<std::monostate, SuffixArrayDiffer::Steps, QByteArray>;

WindowDelta diffSuffixArray(QByteArrayView range, QByteArrayView window)
{
    return SuffixArrayDiffer::diff(range, window);
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
        auto &steps = std::get<SuffixArrayDiffer::Steps>(parts[i]);
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

// The window compressed with the range as its prefix by zstd's optimal parser, in a window that
// reaches from the window's end back to the range's start. The parser indexes the whole range
// into binary trees, which costs more than parsing the window itself. On the 22 windows of a
// large browser library it made 49.6 MB against ranges of one window, where levels 12 and 16 made
// 54.1 and 52.7 MB against ranges of two; ranges of two for every window made 48.9 MB for half as
// much time again, and for the 3 windows where they held more of the window's anchors 48.8 MB.
WindowDelta diffZstdPatch(QByteArrayView range, QByteArrayView window)
{
    int windowLog = 10; // zstd's smallest
    while ((qint64(1) << windowLog) < range.size() + window.size())
        ++windowLog;
    const Compressor context = compressor(windowLog);
    // Matches farther back than the binary trees reach.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_refPrefix(context.get(), range.data(), size_t(range.size()));
    return frameOf(context, window);
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
    WindowDelta (*diff)(QByteArrayView range, QByteArrayView window);
    // The delta, its header given, made of every window's part; the parts are spent.
    QByteArray (*join)(QByteArray header, const std::vector<Window> &windows,
                       std::vector<WindowDelta> &parts);
} differs[] = {
    {DeltaMethod::SuffixArray, diffSuffixArray, joinSuffixArray},
    {DeltaMethod::ZstdPatch, diffZstdPatch, joinZstdPatch},
};
const size_t differCount = std::size(differs);
const size_t zstdRow = 1;

// A file of one window is made with every method and keeps the smallest delta; a larger one with
// zstd alone. On the windows of two large libraries, the suffix array's delta came out smaller
// than zstd's on 3 of the 58 where it was tried, by 2.4 % at most, for twice zstd's time.
bool makesWith(size_t differ, size_t windowCount)
{
    return windowCount <= 1 || differ == zstdRow;
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
    file->priority = priority(newFile.size());
    File *started = file.get();
    files.push_back(std::move(file));
    pool->start([this, started] { plan(started); }, started->priority);
    return int(files.size() - 1);
}

QByteArray DeltaDiffer::delta(int index) const
{
    return files.at(size_t(index))->delta;
}

int DeltaDiffer::priority(qint64 newSize)
{
    return int(newSize >> 16);
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
    // Room for code that moved: twice the window for a file of one; for each window of a larger
    // file one window, or two where the matcher finds that much more of it there, within what
    // files of a few hundred MiB may cost.
    const bool several = size > windowSize;
    std::unique_ptr<RegionMatcher> matcher;
    if (several || file->oldFile.size() > 2 * windowSize)
        matcher = std::make_unique<RegionMatcher>(file->oldFile, file->newFile);
    for (qint64 start = 0; start < size; start += windowSize) {
        const qint64 end = qMin(size, start + windowSize);
        RegionMatcher::Range range {0, file->oldFile.size()};
        if (several)
            range = matcher->regionFor(start, end, windowSize, 2 * windowSize);
        else if (matcher)
            range = matcher->regionFor(start, end, 2 * windowSize);
        file->windows.push_back({start, end, range});
    }
    file->parts.assign(differCount, std::vector<WindowDelta>(file->windows.size()));
    std::vector<Task> tasks;
    for (size_t i = 0; i < file->windows.size(); ++i) {
        for (size_t differ = 0; differ < differCount; ++differ) {
            if (makesWith(differ, file->windows.size()))
                tasks.push_back({differ, i});
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
    file->parts[task.differ][task.window] = differs[task.differ].diff(range, bytes);
    if (--file->pending == 0)
        finish(file);
}

void DeltaDiffer::finish(File *file)
{
    bool chosen = false;
    for (size_t differ = 0; differ < differCount; ++differ) {
        if (!makesWith(differ, file->windows.size()))
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
