// Cuts the update query out of arbitrary messenger output.
//
// The query must be empty, or the stretch from the first "<s>" through the last "</s>" read as
// Latin-1 up to its first NUL byte, encoded as UTF-8.

#include "fuzzrequire.h"
#include "updatequery.h"

#include <QString>

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray query = cutUpdateQuery(output);

    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const size_t begin = text.find("<s>");
    const size_t end = text.rfind("</s>");
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin + 3) {
        require(query.isEmpty(), "query without both tags");
        return 0;
    }
    std::string_view stretch = text.substr(begin, end + 4 - begin);
    stretch = stretch.substr(0, stretch.find('\0'));

    const QString decoded = QString::fromUtf8(query);
    require(decoded.toUtf8() == query, "query is not UTF-8");
    require(decoded.toLatin1() == QByteArray(stretch.data(), qsizetype(stretch.size())),
            "query is not the stretch between the tags");
    return 0;
}
