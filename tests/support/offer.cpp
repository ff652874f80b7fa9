#include "offer.h"

#include "replyformat.h"

#include <QString>

QByteArray replyOffering(const QList<Offer> &offers, const QByteArray &project,
                         const QByteArray &type)
{
    const auto text = [](QLatin1String name) { return QByteArray(name.data(), name.size()); };
    const auto element = [&](QLatin1String name, const QByteArray &content) {
        return '<' + text(name) + '>' + content + "</" + text(name) + '>';
    };
    QByteArray requests;
    for (const Offer &offer : offers) {
        const QByteArray link
            = offer.link.isEmpty() ? "http://127.0.0.1/" + offer.name + ".zip" : offer.link;
        requests += '<' + text(ReplyFormat::request) + ' ' + text(ReplyFormat::project) + "='"
            + offer.project.value_or(project) + "' " + text(ReplyFormat::name) + "='" + offer.name
            + "' " + text(ReplyFormat::type) + "='" + offer.type.value_or(type) + "'>"
            + element(ReplyFormat::version, offer.version)
            + element(ReplyFormat::changelog, "Fixes")
            + element(ReplyFormat::link, QString::fromLatin1(link).toHtmlEscaped().toLatin1())
            + offer.children + "</" + text(ReplyFormat::request) + '>';
    }
    return "<?xml version='1.0' encoding='UTF-8'?>" + element(ReplyFormat::root, requests);
}
