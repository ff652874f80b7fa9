#ifndef INSTALLREPORT_H
#define INSTALLREPORT_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What happened to one package of an updater's run, as its install report tells it.
struct ReportedPackage
{
    QString project;
    QString component;
    QString type;
    // Dotted decimal numbers, as sent; no "from" for a component new to the installation.
    QString from;
    QString to;
    QString delivery; // "patch" or "whole"
    QString outcome;
    QString reason;
};

// An updater's install report, sent on an exchange of its own after a run:
//
//     <report version="1"><package component="core" project="vorn" type="app" from="1.0"
//         to="1.1" delivery="patch" outcome="installed" reason="none"/>...</report>
//
// Nobody signs it, so it is read as strictly as it is written: the fixed vocabularies, dotted
// versions, plain names, every attribute once and nothing else. A component the installation
// did not have comes without "from"; servers that predate it refuse such a report whole.
class InstallReport
{
public:
    InstallReport() = delete;

    static constexpr qsizetype maximumSize = 4096;
    static constexpr int maximumPackages = 16;

    // Whether the exchange that starts with these bytes is a report rather than a query; the
    // bytes may still be too few to tell, which startsLike() says.
    static bool isReport(QByteArrayView received);
    static bool startsLike(QByteArrayView received);
    // The packages of a whole report; none when it is not one as the format gives it.
    static std::optional<QList<ReportedPackage>> read(const QByteArray &document);
    // What counts for a release's halt rule.
    static bool isSuccess(const QString &outcome) { return outcome == u"installed"; }
    static bool isFailure(const QString &outcome)
    {
        return outcome == u"rolled-back" || outcome == u"refused";
    }
};

#endif // INSTALLREPORT_H
