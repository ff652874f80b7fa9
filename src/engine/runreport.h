#ifndef RUNREPORT_H
#define RUNREPORT_H

#include "failure.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What a run tells the update server of the packages it downloaded: for each, the component,
// the version before and after, whether a patch or the whole package came, how the run ended
// for it and the kind of the run's failure. Nothing else: no path, host, user, rollout
// position or free text, so the report identifies nobody.
//
//     <report version="1"><package component="core" project="vorn" type="app" from="1.0"
//     to="1.1" delivery="patch" outcome="installed" reason="none"/>...</report>
class RunReport
{
public:
    enum Outcome { Installed, RolledBack, Refused, DownloadFailed, Cancelled, Recovered };

    struct Package
    {
        QString component;
        QString project;
        QString type;
        // Empty for a component the installation did not have, which the report sends without
        // "from".
        QString from;
        QString to;
        bool patch = false;
    };

    // The server reads no more than these.
    static constexpr int maximumPackages = 16;
    static constexpr int maximumSize = 4096;

    // A package the server would refuse (a name that is not plain, a version that is not
    // dotted decimal) is left out, as are those beyond the bounds.
    void add(const Package &package);
    bool isEmpty() const { return packages.isEmpty(); }
    // The document, every package with this outcome and reason.
    QByteArray document(Outcome outcome, Failure::Kind reason) const;

private:
    QList<QByteArray> packages;
};

#endif // RUNREPORT_H
