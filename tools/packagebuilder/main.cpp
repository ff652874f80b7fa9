#include "cataloguecheck.h"
#include "packagebuilder.h"
#include "releasepublisher.h"
#include "signingkey.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>

#include <cstdio>

namespace {

const char description[] = R"(Builds a Vorn update package and prints its catalogue entry.

  vorn-package-builder [directory] --project P --name N --type T --version V
                       --link URL (--sign KEYFILE | --unsigned) [more options]
  vorn-package-builder --release DIRECTORY --project P --name N --type T --version V
                       [--earlier VERSION=DIRECTORY]... --publish-url http://HOST/PATH/
                       --www DIR --catalogue FILE --sign KEYFILE [more options]
  vorn-package-builder --check-catalogue FILE [--packages DIR --package-keys KEY[,KEY]]
  vorn-package-builder --generate-key KEYFILE
  vorn-package-builder --generate-reply-key KEYFILE

The package is a zip archive holding every file of <directory> under its relative
path (with its unix mode), and a manifest that adds each of them and removes each
--remove path. A link to a file within <directory> is packaged as that file; other
links, FIFOs, devices, sockets and names with control characters are refused, so that
nothing outside <directory> is read. The manifest lies in the archive where the
updater looks for it: the path of --link with .xml for .zip, so --link
http://host/updates/core.zip gives the entry updates/core.xml. The updater fetches
every package with plain HTTP from port 80 and asks for the link's path alone, so
the link must be http://HOST/PATH.zip: another scheme, another port, a user name, a
query or a fragment is refused, and so is a path that the updater would refuse to
store. Upload the package so that --link fetches it.

--release publishes a release in one step: the whole package NAME-V.zip, which also
removes what the newest earlier release has and this one lacks, a patch package
NAME-FROM-to-V.zip from each --earlier release, both under --publish-url and, by the
address's path, under --www, and their entry in the catalogue FILE, whose entries
of other components and versions stay. It refuses a version that is not newer than
every earlier one, a link the updater would not fetch and a link that another entry
of the catalogue holds, before anything is written, and checks the catalogue after.

--check-catalogue checks every package of a catalogue against its file under the
--packages directory (size, SHA-256, the signature of its statement by one of the
--package-keys), its link against what the updater fetches, and the entries against
each other. It prints each problem as FILE:LINE: ... and exits with 1. Without
--packages it checks the links and versions alone, as the update server's service
does before it starts and before it reloads.

The catalogue entry, a <component> element for the update server's catalogue with
the package's sha256 and size, goes to standard output. With --sign it also holds
the package's Ed25519 signature, made with the package key in KEYFILE. A package
without a signature, which only an updater built without package keys installs, is
built only when asked for with --unsigned.

Signing keys: --generate-key KEYFILE writes a new package key to KEYFILE (mode 0600;
an existing file is never replaced) and prints its public key, vorn-package-key:<base64>.
Build the updater with that key, -DVORN_PACKAGE_PUBLIC_KEYS=<public key>, and it
installs only packages signed with KEYFILE. To change keys, build with both public
keys separated by a comma (-DVORN_PACKAGE_PUBLIC_KEYS=<old>,<new>), sign with the
new key once that updater is out, and drop the old key in a later release.
--generate-reply-key KEYFILE writes the update server's reply key the same way; its
public key, vorn-reply-key:<base64>, goes into -DVORN_REPLY_PUBLIC_KEYS. --sign
refuses a reply key, and vorn-update-server --reply-key a package key.)";

int fail(const QString &message)
{
    std::fprintf(stderr, "vorn-package-builder: %s\n", qUtf8Printable(message));
    return 1;
}

void printWarnings(const QStringList &warnings)
{
    for (const QString &warning : warnings)
        std::fprintf(stderr, "vorn-package-builder: warning: %s\n", qUtf8Printable(warning));
}

// Prints every problem of the catalogue, FILE:LINE: ..., or one line when there is none.
int checkCatalogue(const QString &catalogue, const QString &directory, const QString &keyList)
{
    QList<QByteArray> keys;
    for (const QString &text : keyList.split(u',', Qt::SkipEmptyParts)) {
        keys << SigningKey::publicKeyBytes(SigningKey::Package, text);
        if (keys.last().isEmpty())
            return fail(QStringLiteral("\"%1\" is no package public key: give each as "
                                       "vorn-package-key:BASE64, as --generate-key printed it")
                            .arg(text));
    }
    CatalogueCheck check(directory, keys);
    if (!check.check(catalogue)) {
        for (const QString &problem : check.problems())
            std::fprintf(stderr, "%s\n", qUtf8Printable(problem));
        return 1;
    }
    std::printf("%s\n", qUtf8Printable(check.summary()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn-package-builder"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("directory"),
        QStringLiteral("The new files, laid out as in the installation directory (optional)."),
        QStringLiteral("[directory]"));
    const auto text = [](const char *name, const char *help, const char *value = "text") {
        return QCommandLineOption(QLatin1String(name), QLatin1String(help), QLatin1String(value));
    };
    const QCommandLineOption project = text("project", "Component project (required).");
    const QCommandLineOption name = text("name", "Component name (required).");
    const QCommandLineOption type = text("type", "Component type: app or plugin (required).");
    const QCommandLineOption version
        = text("version", "Version, dotted numbers such as 1.2.0 (required).");
    const QCommandLineOption link
        = text("link", "Address the package is published at, ending with .zip (required).", "url");
    const QCommandLineOption output
        = text("output", "Package file to write (default: the file name of --link).", "file");
    const QCommandLineOption remove
        = text("remove", "Remove <path> (such as lib/libold.so); repeatable.", "path");
    const QCommandLineOption descriptionText = text("description", "Component description.");
    const QCommandLineOption copyrights = text("copyrights", "Copyright text.");
    const QCommandLineOption author = text("author", "Author.");
    const QCommandLineOption webpage = text("webpage", "Web page.");
    const QCommandLineOption email = text("email", "Contact address.");
    const QCommandLineOption changelog = text("changelog", "Changelog shown to the user.");
    const QCommandLineOption changelogFile
        = text("changelog-file", "Read the changelog from <file> (UTF-8).", "file");
    const QCommandLineOption critical(QStringLiteral("critical"),
                                      QStringLiteral("Mark the update critical."));
    const QCommandLineOption offerAlways(
        QStringLiteral("offer-always"),
        QStringLiteral("Offer the component also to installations of its project that do not "
                       "have it yet: a new plug-in or app component."));
    const QCommandLineOption timestamp
        = text("timestamp", "Time stamp, unsigned 32-bit (default: now, in Unix time).", "n");
    const QCommandLineOption sign
        = text("sign", "Sign the package with the package key in <keyfile>.", "keyfile");
    const QCommandLineOption unsignedOption(
        QStringLiteral("unsigned"),
        QStringLiteral("Build the package without a signature (for updaters built without "
                       "package keys: development only)."));
    const QCommandLineOption patchFrom = text(
        "patch-from", "Build a patch package for installations whose files <dir> holds.", "dir");
    const QCommandLineOption fromVersion
        = text("from-version", "The version of those installations (with --patch-from).");
    const QCommandLineOption jobs = text(
        "jobs", "Make the deltas of a patch package in <n> threads (default: one per core).", "n");
    const QCommandLineOption generateKey
        = text("generate-key",
               "Write a new package key to <keyfile>, print its public key, and exit.", "keyfile");
    const QCommandLineOption generateReplyKey
        = text("generate-reply-key",
               "Write a new reply key for vorn-update-server to <keyfile>, print its public key, "
               "and exit.",
               "keyfile");
    parser.addOptions(
        {project,         name,        type,      version,   link,        output,    remove,
         descriptionText, copyrights,  author,    webpage,   email,       changelog, changelogFile,
         critical,        offerAlways, timestamp, patchFrom, fromVersion, jobs});
    const QCommandLineOption checkCatalogueOption
        = text("check-catalogue",
               "Check every package of the catalogue <file> against its file and the package "
               "keys, print every problem, and exit.",
               "file");
    const QCommandLineOption packages
        = text("packages", "The directory that the web server serves the packages from.", "dir");
    const QCommandLineOption packageKeys
        = text("package-keys",
               "The public package keys, vorn-package-key:BASE64, separated by "
               "commas.",
               "keys");
    const QCommandLineOption releaseOption
        = text("release", "Publish the release whose files <dir> holds (see above).", "dir");
    const QCommandLineOption earlierOption
        = text("earlier",
               "An earlier release that still has users, VERSION=DIRECTORY of its files; "
               "repeatable.",
               "version=dir");
    const QCommandLineOption publishUrl
        = text("publish-url", "The address the packages are published under.", "url");
    const QCommandLineOption www
        = text("www", "The directory that the web server serves <url> from.", "dir");
    const QCommandLineOption catalogueOption
        = text("catalogue", "The catalogue file to put the release into.", "file");
    parser.addOptions({sign, unsignedOption, generateKey, generateReplyKey});
    parser.addOptions({checkCatalogueOption, packages, packageKeys});
    parser.addOptions({releaseOption, earlierOption, publishUrl, www, catalogueOption});
    parser.process(app);

    for (const QCommandLineOption *generate : {&generateKey, &generateReplyKey}) {
        if (!parser.isSet(*generate))
            continue;
        if (parser.optionNames().size() > 1 || !parser.positionalArguments().isEmpty())
            return fail(QStringLiteral("--%1 takes no other option").arg(generate->names()[0]));
        const bool reply = generate == &generateReplyKey;
        SigningKey key(reply ? SigningKey::Reply : SigningKey::Package);
        const QString file = parser.value(*generate);
        if (!key.generate(file))
            return fail(key.errorString());
        std::printf("%s\n", qPrintable(key.publicKey()));
        std::fprintf(stderr, "vorn-package-builder: %s\n",
                     qUtf8Printable(
                         reply ? QStringLiteral("wrote the secret reply key to %1; keep it secret. "
                                                "Build the updater with "
                                                "-DVORN_REPLY_PUBLIC_KEYS=%2 and run "
                                                "vorn-update-server --reply-key %1")
                                     .arg(file, key.publicKey())
                               : QStringLiteral("wrote the secret package key to %1; keep it "
                                                "secret. Build the updater with "
                                                "-DVORN_PACKAGE_PUBLIC_KEYS=%2 and sign packages "
                                                "with --sign %1")
                                     .arg(file, key.publicKey())));
        return 0;
    }

    if (parser.isSet(checkCatalogueOption)) {
        if (parser.isSet(packages) != parser.isSet(packageKeys))
            return fail(QStringLiteral("--check-catalogue takes --packages and --package-keys "
                                       "together: the files are checked against the keys"));
        return checkCatalogue(parser.value(checkCatalogueOption), parser.value(packages),
                              parser.value(packageKeys));
    }

    const bool release = parser.isSet(releaseOption);
    QList<const QCommandLineOption *> required = {&project, &name, &type, &version};
    required += release ? QList {&publishUrl, &www, &catalogueOption, &sign} : QList {&link};
    for (const QCommandLineOption *option : std::as_const(required)) {
        if (!parser.isSet(*option))
            return fail(QStringLiteral("--%1 is required (see --help)").arg(option->names()[0]));
    }
    for (const QCommandLineOption *made : {&link, &output, &remove, &patchFrom, &fromVersion}) {
        if (release && parser.isSet(*made))
            return fail(QStringLiteral("--release makes its packages' links, files, removals and "
                                       "patches itself: leave out --%1")
                            .arg(made->names()[0]));
    }
    if (parser.positionalArguments().size() > (release ? 0 : 1))
        return fail(release ? QStringLiteral("--release names the release's directory; give no "
                                             "other")
                            : QStringLiteral("give at most one directory"));
    if (parser.isSet(sign) == parser.isSet(unsignedOption))
        return fail(parser.isSet(sign)
                        ? QStringLiteral("give --sign or --unsigned, not both")
                        : QStringLiteral("give --sign KEYFILE to sign the package: an updater "
                                         "built with package keys installs no other. For an "
                                         "updater built without them (development only), give "
                                         "--unsigned"));

    PackageInfo info;
    info.project = parser.value(project);
    info.name = parser.value(name);
    info.type = parser.value(type);
    info.version = parser.value(version);
    info.link = parser.value(link);
    info.description = parser.value(descriptionText);
    info.copyrights = parser.value(copyrights);
    info.author = parser.value(author);
    info.webpage = parser.value(webpage);
    info.email = parser.value(email);
    info.changelog = parser.value(changelog);
    info.critical = parser.isSet(critical);
    info.offerAlways = parser.isSet(offerAlways);
    info.timestamp = quint32(QDateTime::currentSecsSinceEpoch());
    if (parser.isSet(changelogFile)) {
        if (parser.isSet(changelog))
            return fail(QStringLiteral("give --changelog or --changelog-file, not both"));
        QFile file(parser.value(changelogFile));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
        info.changelog = QString::fromUtf8(file.readAll());
    }
    if (parser.isSet(timestamp)) {
        bool ok = false;
        info.timestamp = parser.value(timestamp).toUInt(&ok, 10);
        if (!ok)
            return fail(QStringLiteral("--timestamp must be an unsigned 32-bit number"));
    }

    int threads = QThread::idealThreadCount();
    if (parser.isSet(jobs)) {
        bool ok = false;
        threads = parser.value(jobs).toInt(&ok, 10);
        if (!ok || threads < 1)
            return fail(QStringLiteral("--jobs must be a positive number"));
    }
    SigningKey key(SigningKey::Package);
    if (parser.isSet(sign)) {
        if (!key.load(parser.value(sign)))
            return fail(key.errorString());
        if (key.isExposed())
            std::fprintf(stderr, "vorn-package-builder: warning: other users can read the key %s\n",
                         qUtf8Printable(parser.value(sign)));
    }

    if (release) {
        QList<EarlierRelease> earlier;
        for (const QString &value : parser.values(earlierOption)) {
            const qsizetype equals = value.indexOf(u'=');
            if (equals <= 0)
                return fail(QStringLiteral("--earlier takes VERSION=DIRECTORY, such as "
                                           "1.0=releases/1.0, not %1")
                                .arg(value));
            earlier.append({value.left(equals), value.mid(equals + 1)});
        }
        ReleasePublisher publisher(info, parser.value(releaseOption));
        publisher.setEarlier(earlier);
        publisher.setPublishing(parser.value(publishUrl), parser.value(www));
        publisher.setSigningKey(&key);
        publisher.setJobs(threads);
        if (!publisher.publish(parser.value(catalogueOption)))
            return fail(publisher.errorString());
        printWarnings(publisher.warnings());
        // Packages of earlier releases may be signed with a key being replaced.
        QStringList keys = {key.publicKey()};
        if (parser.isSet(packageKeys))
            keys << parser.value(packageKeys);
        return checkCatalogue(parser.value(catalogueOption), parser.value(www), keys.join(u','));
    }

    PackageBuilder builder(info);
    if (parser.isSet(patchFrom) != parser.isSet(fromVersion))
        return fail(QStringLiteral("--patch-from and --from-version go together"));
    if (parser.isSet(patchFrom))
        builder.setPatchFrom(parser.value(patchFrom), parser.value(fromVersion));
    builder.setJobs(threads);
    if (parser.isSet(sign))
        builder.setSigningKey(&key);
    const QString outputFile = parser.isSet(output) ? parser.value(output)
                                                    : QFileInfo(QUrl(info.link).path()).fileName();
    const QString directory = parser.positionalArguments().value(0);
    if (!builder.build(directory, parser.values(remove), outputFile))
        return fail(builder.errorString());
    printWarnings(builder.warnings());
    const QByteArray entry = builder.catalogueEntry();
    std::fwrite(entry.constData(), 1, size_t(entry.size()), stdout);
    return 0;
}
