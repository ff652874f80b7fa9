#include "offeredpackage.h"

#include "update.h"

namespace {

std::string bytes(const QString &latin1Text)
{
    return latin1Text.toLatin1().toStdString();
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace

Update OfferedPackage::toUpdate() const
{
    return Update(bytes(project), bytes(name), bytes(type), bytes(version), utf8(description),
                  utf8(copyrights), utf8(author), utf8(webpage), utf8(email), utf8(changelog),
                  utf8(link), critical, timestamp);
}
