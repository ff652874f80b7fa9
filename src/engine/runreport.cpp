#include "runreport.h"

#include "dottedversion.h"
#include "plainname.h"

namespace {

const QByteArray documentOpen = QByteArrayLiteral("<report version=\"1\">");
const QByteArray documentClose = QByteArrayLiteral("</report>");
// The longest outcome and reason attributes that document() adds to a package element.
const int longestVerdict = int(sizeof(" outcome=\"download-failed\" reason=\"installation\"")) - 1;

QByteArray attribute(const char *name, const QString &value)
{
    return ' ' + QByteArray(name) + "=\"" + value.toHtmlEscaped().toUtf8() + '"';
}

QByteArray outcomeName(RunReport::Outcome outcome)
{
    switch (outcome) {
    case RunReport::Installed:
        return "installed";
    case RunReport::RolledBack:
        return "rolled-back";
    case RunReport::Refused:
        return "refused";
    case RunReport::DownloadFailed:
        return "download-failed";
    case RunReport::Cancelled:
        return "cancelled";
    case RunReport::Recovered:
        break;
    }
    return "recovered";
}

QByteArray reasonName(Failure::Kind kind)
{
    switch (kind) {
    case Failure::None:
        break;
    case Failure::Network:
        return "network";
    case Failure::Reply:
        return "reply";
    case Failure::Refused:
        return "refused";
    case Failure::Package:
        return "package";
    case Failure::Storage:
        return "storage";
    case Failure::Installation:
        return "installation";
    case Failure::Messenger:
        return "messenger";
    case Failure::Lock:
        return "lock";
    case Failure::Rollback:
        return "rollback";
    case Failure::Cancelled:
        return "cancelled";
    }
    return "none";
}

} // namespace

void RunReport::add(const Package &package)
{
    for (const QString *name : {&package.component, &package.project, &package.type}) {
        if (!isPlainName(*name))
            return;
    }
    const bool isNew = package.from.isEmpty();
    if ((!isNew && DottedVersion::parse(package.from).isNull())
        || DottedVersion::parse(package.to).isNull())
        return;
    // Up to the outcome, which the whole run shares.
    const QByteArray element = "<package" + attribute("component", package.component)
        + attribute("project", package.project) + attribute("type", package.type)
        + (isNew ? QByteArray() : attribute("from", package.from)) + attribute("to", package.to)
        + (package.patch ? " delivery=\"patch\"" : " delivery=\"whole\"");
    qsizetype size = documentOpen.size() + documentClose.size();
    for (const QByteArray &added : packages)
        size += added.size() + longestVerdict + 2;
    if (packages.size() < maximumPackages
        && size + element.size() + longestVerdict + 2 <= maximumSize)
        packages.append(element);
}

QByteArray RunReport::document(Outcome outcome, Failure::Kind reason) const
{
    const QByteArray verdict
        = " outcome=\"" + outcomeName(outcome) + "\" reason=\"" + reasonName(reason) + "\"/>";
    QByteArray text = documentOpen;
    for (const QByteArray &package : packages)
        text += package + verdict;
    return text + documentClose;
}
