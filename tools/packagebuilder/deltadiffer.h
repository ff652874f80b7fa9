#ifndef DELTADIFFER_H
#define DELTADIFFER_H

#include "binarydelta.h"

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <vector>

class QThreadPool;

// Makes the binary deltas (see BinaryDelta) that turn old files into new ones, in the worker
// threads of a pool. The new file is cut into windows of BinaryDelta::maximumWindowSize, each
// diffed against the range of the old file that RegionMatcher finds for it (of twice the
// window's size for a file of one window; of its size for the windows of a larger file, or twice
// that where the wider range holds more of the window), so that time grows with the file's size.
// A file of one window is made with every method, and the smallest delta kept; a larger one with
// zstd's optimal parser alone. The deltas are the same whatever the number of threads.
class DeltaDiffer
{
public:
    // Windows smaller than the largest a delta may hold serve the tests.
    explicit DeltaDiffer(QThreadPool *pool, qint64 windowSize = BinaryDelta::maximumWindowSize);
    // Waits for the pool, whose tasks use the differ.
    ~DeltaDiffer();

    // Starts on the delta that turns oldFile into newFile, and returns its index. Both must stay
    // valid until the pool is done.
    int add(QByteArrayView oldFile, QByteArrayView newFile);
    // Once the pool is done.
    QByteArray delta(int index) const;

    // One delta, made in a pool of its own.
    static QByteArray make(QByteArrayView oldFile, QByteArrayView newFile,
                           qint64 windowSize = BinaryDelta::maximumWindowSize);
    // The pool priority of the work on a new file of that size: the largest first, so that the
    // last tasks to finish are small. Other work on the same files takes it too.
    static int priority(qint64 newSize);

private:
    struct File;
    struct Task
    {
        size_t differ; // its row in the table of methods
        size_t window;
    };

    void plan(File *file);
    void start(File *file, const std::vector<Task> &tasks);
    void run(File *file, Task task);
    void finish(File *file);

    QThreadPool *pool;
    qint64 windowSize;
    std::vector<std::unique_ptr<File>> files;
};

#endif // DELTADIFFER_H
