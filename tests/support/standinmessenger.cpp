#include "standinmessenger.h"

#include "testfiles.h"

#include <QCoreApplication>
#include <QXmlStreamReader>

namespace StandInMessenger {

QString path()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vorn");
}

bool write(const QByteArray &script)
{
    return writeFile(path(), "#!/bin/sh\n" + script + '\n', 0700);
}

bool writeAskingFor(const QByteArray &reply, const QByteArray &version)
{
    QByteArray query = "<s><update>";
    QXmlStreamReader xml(reply);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement
            || xml.name() != QLatin1String("request"))
            continue;
        query += "<component";
        for (const char *attribute : {"project", "name", "type"}) {
            query += QByteArray(" ") + attribute + "=\""
                + xml.attributes()
                      .value(QLatin1String(attribute))
                      .toString()
                      .toHtmlEscaped()
                      .toUtf8()
                + '"';
        }
        query += " version=\"" + version + "\"/>";
    }
    // Quoted so that no shell reads the names.
    return write("cat <<'END_OF_QUERY'\n" + query + "</update></s>\nEND_OF_QUERY");
}

} // namespace StandInMessenger
