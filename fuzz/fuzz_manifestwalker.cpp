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
    const ManifestWalker walker(
        {QStringLiteral("vorn"), QStringLiteral("core"), QStringLiteral("app")},
        [&stopped](const ManifestWalker::FileEntry &entry) {
            require(!stopped, "entry handed on after the handler said stop");
            require(entry.action == entry.action.toLower(), "action not in lower case");
            stopped = entry.action == QLatin1String("stop");
            return !stopped;
        });
    const ManifestWalker::Outcome outcome = walker.walk(&device);
    require((outcome == ManifestWalker::Stopped) == stopped, "outcome Stopped iff stopped");
    return 0;
}
