#include "deltadiffer.h"

#include "binarydelta.h"
#include "regionmatcher.h"
#include "suffixarraydiffer.h"

#include <QThreadPool>
#include <QtEndian>

#include <zstd.h>

#include <atomic>

namespace {

// On a file of several windows, a method whose middle window comes out this much larger than
// the other's is not tried on the others.
const double closeEnough = 1.1;
const int level = 19;

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

// The window compressed with the range as its prefix, and a window that reaches from the
// window's end back to the range's start. The levels that parse best index the whole prefix
// into binary trees, which costs about ten times what level 12 does: they make the delta of
// a file of one window only. The windows of larger files take level 12 with a larger hash
// table, which comes within a tenth of their size.
QByteArray zstdFrame(QByteArrayView range, QByteArrayView window, bool wholeFile)
{
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    int windowLog = 10; // zstd's smallest
    while ((qint64(1) << windowLog) < range.size() + window.size())
        ++windowLog;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    if (wholeFile) {
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        // Matches farther back than the binary trees reach.
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    } else {
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 12);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_hashLog, 24);
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

QByteArray suffixArrayDelta(qint64 newSize, const QByteArray &control, const QByteArray &diff,
                            const QByteArray &extra)
{
    const QByteArray packedControl = compressed(control);
    const QByteArray packedDiff = compressed(diff);
    QByteArray delta = BinaryDelta::header(BinaryDelta::SuffixArray, newSize);
    appendNumber(&delta, packedControl.size());
    appendNumber(&delta, packedDiff.size());
    return delta + packedControl + packedDiff + compressed(extra);
}

} // namespace

struct DeltaDiffer::File
{
    struct Window
    {
        qint64 start;
        qint64 end;
        RegionMatcher::Range range;
    };

    QByteArrayView oldFile;
    QByteArrayView newFile;
    int priority;
    std::vector<Window> windows;
    std::vector<SuffixArrayDiffer::Steps> steps;
    std::vector<QByteArray> frames;
    // The methods that every window of the file is diffed with.
    bool wanted[2] = {true, true};
    // Whether the middle window has been diffed with both methods.
    bool sampled = false;
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
    file->steps.resize(file->windows.size());
    file->frames.resize(file->windows.size());
    if (file->windows.empty()) {
        finish(file);
        return;
    }
    const size_t middle = file->windows.size() / 2;
    file->sampled = file->windows.size() == 1;
    start(file, {{SuffixArray, middle}, {ZstdPatch, middle}});
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
    const File::Window &window = file->windows[task.window];
    const QByteArrayView range = file->oldFile.sliced(window.range.offset, window.range.length);
    const QByteArrayView bytes = file->newFile.sliced(window.start, window.end - window.start);
    if (task.method == SuffixArray)
        file->steps[task.window] = SuffixArrayDiffer::diff(range, bytes);
    else
        file->frames[task.window] = zstdFrame(range, bytes, file->windows.size() == 1);
    if (--file->pending > 0)
        return;
    if (file->sampled)
        finish(file);
    else
        decide(file);
}

void DeltaDiffer::decide(File *file)
{
    const size_t middle = file->windows.size() / 2;
    const SuffixArrayDiffer::Steps &steps = file->steps[middle];
    const qint64 sizes[2] = {compressed(controlStream(steps.steps)).size()
                                 + compressed(steps.diff).size() + compressed(steps.extra).size(),
                             file->frames[middle].size() + BinaryDelta::windowHeaderSize};
    const qint64 smaller = qMin(sizes[SuffixArray], sizes[ZstdPatch]);
    std::vector<Task> tasks;
    for (Method method : {SuffixArray, ZstdPatch}) {
        file->wanted[method] = sizes[method] <= smaller * closeEnough;
        for (size_t i = 0; file->wanted[method] && i < file->windows.size(); ++i) {
            if (i != middle)
                tasks.push_back({method, i});
        }
    }
    file->sampled = true;
    start(file, tasks);
}

void DeltaDiffer::finish(File *file)
{
    const qint64 newSize = file->newFile.size();
    QByteArray zstdPatch = BinaryDelta::header(BinaryDelta::ZstdPatch, newSize);
    for (size_t i = 0; i < file->windows.size() && file->wanted[ZstdPatch]; ++i) {
        const File::Window &window = file->windows[i];
        appendNumber(&zstdPatch, window.range.offset);
        appendNumber(&zstdPatch, window.range.length);
        appendNumber(&zstdPatch, window.end - window.start);
        appendNumber(&zstdPatch, file->frames[i].size());
        zstdPatch += file->frames[i];
    }
    file->frames.clear();

    QByteArray suffixArray;
    if (file->wanted[SuffixArray]) {
        // The windows' steps joined into one list: each window's first step is reached by
        // moving from where the last one left off to its range.
        std::vector<SuffixArrayDiffer::Step> joined;
        QByteArray diff;
        QByteArray extra;
        qint64 position = 0;
        qint64 move = 0;
        for (size_t i = 0; i < file->windows.size(); ++i) {
            move += file->windows[i].range.offset - position;
            position = file->windows[i].range.offset;
            for (const SuffixArrayDiffer::Step &step : file->steps[i].steps) {
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
            diff += file->steps[i].diff;
            extra += file->steps[i].extra;
            file->steps[i] = {};
        }
        suffixArray = suffixArrayDelta(newSize, controlStream(joined), diff, extra);
    }
    // On a tie the suffix-array delta, which more updaters apply.
    file->delta = suffixArray.isEmpty()
            || (file->wanted[ZstdPatch] && zstdPatch.size() < suffixArray.size())
        ? zstdPatch
        : suffixArray;
}
