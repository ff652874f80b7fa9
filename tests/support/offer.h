#ifndef OFFER_H
#define OFFER_H

#include <QByteArray>
#include <QList>
#include <QMetaType>

#include <optional>

// A package that the update server offers: one request of its reply.
struct Offer
{
    QByteArray name;
    QByteArray link = {}; // the package's address; "http://127.0.0.1/NAME.zip" when empty
    QByteArray children = {}; // the request's children beyond version, changelog and link
    QByteArray version = "2.0";
    std::optional<QByteArray> project = {}; // the reply's project and type when not given
    std::optional<QByteArray> type = {};
    bool requested = true; // whether the messenger's query asks for it
};

Q_DECLARE_METATYPE(Offer)

// The reply of an update server that offers these packages, of this project and type unless
// an offer names its own.
QByteArray replyOffering(const QList<Offer> &offers, const QByteArray &project = "vorn",
                         const QByteArray &type = "plugin");

#endif // OFFER_H
