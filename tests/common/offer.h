#ifndef OFFER_H
#define OFFER_H

#include <QByteArray>
#include <QList>
#include <QMetaType>

// A package that the update server offers: one request of its reply.
struct Offer
{
    QByteArray name;
    QByteArray link = {}; // the package's address; "http://127.0.0.1/NAME.zip" when empty
    QByteArray children = {}; // the request's children beyond version, changelog and link
};

Q_DECLARE_METATYPE(Offer)

// The reply of an update server that offers these packages of one project and type, each in
// version 2.0.
QByteArray replyOffering(const QList<Offer> &offers, const QByteArray &project = "vorn",
                         const QByteArray &type = "plugin");

#endif // OFFER_H
