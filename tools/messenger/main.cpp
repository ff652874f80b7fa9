#include "component.h"
#include "componentsfile.h"
#include "zuupdaterclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

std::string field(const QByteArray &text)
{
    return text == "-" ? std::string() : text.toStdString();
}

// Reads "project name type version" lines; texts are kept as bytes, like the messenger's own.
bool readComponents(const QString &path, ComponentsFile &components, QString &error)
{
    QFile list(path);
    if (!list.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, list.errorString());
        return false;
    }
    for (int lineNumber = 1; !list.atEnd(); ++lineNumber) {
        const QByteArray line = list.readLine().simplified();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4) {
            error = QStringLiteral("%1:%2: expected project, name, type and version")
                        .arg(path)
                        .arg(lineNumber);
            return false;
        }
        components.addComponent(Component(field(fields[0]), field(fields[1]), field(fields[2]),
                                          field(fields[3]), {}, {}, {}, {}, {}));
    }
    return true;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "vorn: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn"));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Stands in for the Vorn messenger: prints the update query of its components.\n"
        "The component list has one component per line: project, name, type and version,\n"
        "separated by blanks; \"-\" stands for an empty field, lines starting with # are "
        "comments.\n"
        "Options may also be written with a single dash, as in -updatequery."));
    parser.addHelpOption();
    const QCommandLineOption updateQuery(
        QStringLiteral("updatequery"),
        QStringLiteral("Print the update query document on standard output and exit."));
    const QCommandLineOption componentList(
        QStringLiteral("components"),
        QStringLiteral("Read the components from <file> (default: components.txt next to the "
                       "program)."),
        QStringLiteral("file"));
    const QCommandLineOption writeComponentsFile(
        QStringLiteral("write-components-file"),
        QStringLiteral("Write the components file of the components to <out>."),
        QStringLiteral("out"));
    parser.addOptions({updateQuery, componentList, writeComponentsFile});
    parser.process(app);

    if (!parser.isSet(updateQuery) && !parser.isSet(writeComponentsFile))
        parser.showHelp(0);

    const QString listPath = parser.isSet(componentList)
        ? parser.value(componentList)
        : QCoreApplication::applicationDirPath() + QStringLiteral("/components.txt");
    ComponentsFile components;
    QString error;
    if (!readComponents(listPath, components, error))
        return fail(error);

    if (parser.isSet(writeComponentsFile)) {
        const QString out = parser.value(writeComponentsFile);
        if (!components.save(QFile::encodeName(out).toStdString()))
            return fail(QStringLiteral("cannot write %1").arg(out));
    }
    if (parser.isSet(updateQuery)) {
        ZuUpdaterClient client;
        client.addRequest(components);
        const std::string query = client.getQuery() + '\n';
        std::fwrite(query.data(), 1, query.size(), stdout);
    }
    return 0;
}
