// Walks an arbitrary manifest for the component vorn/core/app. The file handler stops the
// walk at the first entry whose action is "stop", so that path is explored as well.

#include "fuzzrequire.h"
#include "manifestwalker.h"

#include <QBuffer>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray manifest(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer device(&manifest);
    require(device.open(QIODevice::ReadOnly), "cannot open the buffer");

    bool stopped = false;
    // No text of the walker's own: only the handler's failure can carry it.
    const Failure stop(Failure::Cancelled, QStringLiteral("stopped by the handler"));
    const ManifestWalker walker(
        {QStringLiteral("vorn"), QStringLiteral("core"), QStringLiteral("app")},
        [&stopped, &stop](const ManifestWalker::FileEntry &entry) {
            require(!stopped, "entry handed on after the handler said stop");
            require(entry.action == entry.action.toLower(), "action not in lower case");
            stopped = entry.action == QLatin1String("stop");
            return stopped ? stop : Failure();
        });
    const Failure failure = walker.walk(&device);
    require((failure.kind() == Failure::Cancelled && failure.text() == stop.text()) == stopped,
            "the handler's failure returned iff the handler stopped");
    return 0;
}
