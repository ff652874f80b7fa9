#include "offer.h"

#include <QString>

QByteArray replyOffering(const QList<Offer> &offers, const QByteArray &project,
                         const QByteArray &type)
{
    QByteArray reply = "<?xml version='1.0' encoding='UTF-8'?><update>";
    for (const Offer &offer : offers) {
        const QByteArray link
            = offer.link.isEmpty() ? "http://127.0.0.1/" + offer.name + ".zip" : offer.link;
        reply += "<request project='" + offer.project.value_or(project) + "' name='" + offer.name
            + "' type='" + offer.type.value_or(type) + "'><version>" + offer.version
            + "</version><changelog>Fixes</changelog><link>"
            + QString::fromLatin1(link).toHtmlEscaped().toLatin1() + "</link>" + offer.children
            + "</request>";
    }
    return reply + "</update>";
}
