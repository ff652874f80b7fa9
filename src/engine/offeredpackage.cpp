#include "offeredpackage.h"

#include "replyformat.h"
#include "update.h"

#include <QDomElement>
#include <QUrl>

#include <optional>

namespace {

std::string bytes(const QString &latin1Text)
{
    return latin1Text.toLatin1().toStdString();
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The element's bytes, one character each: names and versions are compared and signed as
// bytes, whatever the document's encoding.
QString bytesOf(const QString &text)
{
    return QString::fromLatin1(text.toUtf8());
}

// The text of the first direct child element of that name, empty if there is none.
QString childText(const QDomElement &element, const QString &name)
{
    return element.firstChildElement(name).text();
}

// The text of the first direct child element of that name, nullopt if there is none.
std::optional<QString> optionalChildText(const QDomElement &element, const QString &name)
{
    const QDomElement child = element.firstChildElement(name);
    if (child.isNull())
        return std::nullopt;
    return child.text();
}

std::optional<QString> optionalAttribute(const QDomElement &element, const QString &name)
{
    if (!element.hasAttribute(name))
        return std::nullopt;
    return element.attribute(name);
}

QList<PatchOffer> patchesFrom(const QDomElement &request)
{
    QList<PatchOffer> patches;
    for (QDomElement patch = request.firstChildElement(ReplyFormat::patch); !patch.isNull();
         patch = patch.nextSiblingElement(ReplyFormat::patch)) {
        patches.append({patch.attribute(ReplyFormat::from),
                        QUrl(patch.attribute(ReplyFormat::link)),
                        PackageCheck::fromReply([&patch](QLatin1String name) {
                            return optionalAttribute(patch, name);
                        })});
    }
    return patches;
}

} // namespace

OfferedPackage OfferedPackage::fromRequest(const QDomElement &request)
{
    OfferedPackage offer;
    offer.project = bytesOf(request.attribute(ReplyFormat::project));
    offer.name = bytesOf(request.attribute(ReplyFormat::name));
    offer.type = bytesOf(request.attribute(ReplyFormat::type));
    offer.version = bytesOf(childText(request, ReplyFormat::version));
    offer.description = childText(request, ReplyFormat::description);
    offer.copyrights = childText(request, ReplyFormat::copyrights);
    offer.author = childText(request, ReplyFormat::author);
    offer.webpage = childText(request, ReplyFormat::webpage);
    offer.email = childText(request, ReplyFormat::email);
    offer.changelog = childText(request, ReplyFormat::changelog);
    offer.critical = childText(request, ReplyFormat::critical) == QLatin1String("true");
    bool ok = false;
    const unsigned int timestamp = childText(request, ReplyFormat::timestamp).toUInt(&ok, 10);
    offer.timestamp = ok ? timestamp : 0;
    offer.link = childText(request, ReplyFormat::link);
    offer.check = PackageCheck::fromReply(
        [&request](QLatin1String name) { return optionalChildText(request, name); });
    offer.patches = patchesFrom(request);
    return offer;
}

Update OfferedPackage::toUpdate() const
{
    return Update(bytes(project), bytes(name), bytes(type), bytes(version), utf8(description),
                  utf8(copyrights), utf8(author), utf8(webpage), utf8(email), utf8(changelog),
                  utf8(link), critical, timestamp);
}
