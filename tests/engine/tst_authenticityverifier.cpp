#include "digest.h"
#include "keypair.h"
#include "packagecheck.h"
#include "packagesink.h"
#include "packagestatement.h"
#include "packageverifier.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

using Text = std::optional<QString>;

// The component and version every package here is offered as.
const PackageStatement identity {"im", "core", "app", "2.0", -1, Digest()};

QString sign(const QByteArray &bytes, const KeyPair &key,
             const PackageStatement &signedFor = identity)
{
    return QString::fromLatin1(key.signPackage(bytes, signedFor));
}

PackageStatement offeredAs(const char *name, const char *version)
{
    PackageStatement other = identity;
    other.name = QLatin1String(name);
    other.version = QLatin1String(version);
    return other;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// What a reply with these children says about its package.
PackageCheck checkOf(const Text &sha256, const Text &signature, const Text &size)
{
    const QHash<QString, Text> children {
        {"sha256", sha256}, {"signature", signature}, {"size", size}};
    return PackageCheck::fromReply(
        [&children](QLatin1String name) { return children.value(name); });
}

Digest digestOf(const QByteArray &bytes)
{
    return Digest::of(Digest::Sha256, bytes);
}

const QByteArray package = "PK\x03\x04 the published package bytes";

// What the user reads when package "core" is refused.
const QString accepted;
const QString malformedSha256 = "The update server sent a malformed sha256 for package core.";
const QString malformedSignature = "The update server sent a malformed signature for package core.";
const QString malformedSize = "The update server sent a malformed size for package core.";
const QString missingSignature = "Package core is not signed, so it will not be installed.";
const QString missingChecksum
    = "The update server did not send the size and checksum of package core, which its "
      "signature covers, so it will not be installed.";
const QString wrongSha256
    = "Package core does not match the checksum announced by the update server: it was "
      "damaged or altered on the way, so it will not be installed.";
const QString badSignature
    = "The signature of package core is not valid: the package was altered or not released "
      "by its publisher, so it will not be installed.";

QString wrongSize(qsizetype announced)
{
    return QStringLiteral(
               "Package core does not have the size announced by the update server (%1 bytes).")
        .arg(announced);
}

// A refusal's text, or an empty one for an accepted package; any failure here is a refusal.
QString refusalText(const Failure &failure)
{
    if (failure && failure.kind() != Failure::Refused)
        return QStringLiteral("not a refusal: ") + failure.text();
    return failure.text();
}

QByteArray alteredByOneByte(QByteArray bytes)
{
    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x20);
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(Text)

class TestAuthenticityVerifier : public QObject
{
    Q_OBJECT

private slots:

    void replyValues_data();
    void replyValues();
    void statementText_data();
    void statementText();
    void keySetting_data();
    void keySetting();

    void verification_data();
    void verification();
    void messages_data();
    void messages();

    void sinkStopsAtTheAnnouncedSize();
    void digestTakenWhileWriting();
};

void TestAuthenticityVerifier::replyValues_data()
{
    QTest::addColumn<Text>("sha256");
    QTest::addColumn<Text>("signature");
    QTest::addColumn<Text>("size");
    QTest::addColumn<int>("present");
    QTest::addColumn<int>("malformed");
    QTest::addColumn<QByteArray>("digest");
    QTest::addColumn<qint64>("parsedSize");

    const QString hex = sha256(package);
    const QString signature = sign(package, keyPair(1));
    const QByteArray digest = QCryptographicHash::hash(package, QCryptographicHash::Sha256);
    const int all = PackageCheck::Checksum | PackageCheck::Signature | PackageCheck::Size;
    const Text none;

    QTest::newRow("none of them") << none << none << none << 0 << 0 << QByteArray() << qint64(-1);
    QTest::newRow("all three") << Text(hex) << Text(signature) << Text("1234") << all << 0 << digest
                               << qint64(1234);
    QTest::newRow("upper-case digest, blanks and line feeds around")
        << Text("\n  " + hex.toUpper() + "\n") << Text(" " + signature + "\n") << Text(" 0 ") << all
        << 0 << digest << qint64(0);
    QTest::newRow("largest size") << none << none << Text("9223372036854775807")
                                  << int(PackageCheck::Size) << 0 << QByteArray()
                                  << qint64(9223372036854775807LL);

    const auto badSha = [&](const char *row, const QString &text) {
        QTest::newRow(row) << Text(text) << none << none << int(PackageCheck::Checksum)
                           << int(PackageCheck::Checksum) << QByteArray() << qint64(-1);
    };
    badSha("digest one digit short", hex.left(63));
    badSha("digest one digit long", hex + "0");
    badSha("digest with a non-hex digit", "g" + hex.mid(1));
    badSha("digest with a blank inside", hex.left(32) + " " + hex.mid(33));
    badSha("empty digest", "");
    badSha("digest in base64", QString::fromLatin1(digest.toBase64()));

    const auto badSignature = [&](const char *row, const QString &text) {
        QTest::newRow(row) << none << Text(text) << none << int(PackageCheck::Signature)
                           << int(PackageCheck::Signature) << QByteArray() << qint64(-1);
    };
    badSignature("signature without padding", signature.chopped(2));
    badSignature("signature with a character outside base64", "*" + signature.mid(1));
    badSignature("signature one byte short", QString::fromLatin1(QByteArray(63, 'x').toBase64()));
    badSignature(
        "signature in base64url",
        QString::fromLatin1(QByteArray(64, char(0xfb)).toBase64(QByteArray::Base64UrlEncoding)));
    badSignature("empty signature", "");

    const auto badSize = [&](const char *row, const QString &text) {
        QTest::newRow(row) << none << none << Text(text) << int(PackageCheck::Size)
                           << int(PackageCheck::Size) << QByteArray() << qint64(-1);
    };
    badSize("negative size", "-1");
    badSize("size with a unit", "12kB");
    badSize("size with a sign", "+12");
    badSize("size beyond 64 bits", "9223372036854775808");
    badSize("empty size", "");
}

void TestAuthenticityVerifier::replyValues()
{
    QFETCH(Text, sha256);
    QFETCH(Text, signature);
    QFETCH(Text, size);
    QFETCH(int, present);
    QFETCH(int, malformed);
    QFETCH(QByteArray, digest);
    QFETCH(qint64, parsedSize);

    const PackageCheck check = checkOf(sha256, signature, size);
    QCOMPARE(check.present, present);
    QCOMPARE(check.malformed, malformed);
    QCOMPARE(check.digest.bytes(), digest);
    QCOMPARE(check.size, parsedSize);
    QCOMPARE(check.has(PackageCheck::Signature),
             bool(present & ~malformed & PackageCheck::Signature));
    if (check.has(PackageCheck::Signature))
        QCOMPARE(check.signature.size(), 64);
}

// The signed text byte for byte, the digest's line named by its algorithm: a publisher's
// signatures made before stay valid.
void TestAuthenticityVerifier::statementText_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QByteArray>("text");

    const QByteArray head = "vorn-package-statement 1\nproject vorn\nname core\ntype plugin\n"
                            "version 2.0\n";
    const QByteArray tail
        = "size 5\n"
          "sha256 2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824\n";
    QTest::newRow("whole package") << QString() << head + tail;
    QTest::newRow("patch") << QStringLiteral("1.0") << head + "from 1.0\n" + tail;
}

void TestAuthenticityVerifier::statementText()
{
    QFETCH(QString, from);
    QFETCH(QByteArray, text);

    const PackageStatement statement {
        "vorn", "core", "plugin", "2.0", 5, Digest::of(Digest::Sha256, "hello"), from};
    QVERIFY(statement.isComplete());
    QCOMPARE(statement.text(), text);
    PackageStatement undigested = statement;
    undigested.digest = Digest(Digest::Sha256, QByteArray(31, 'x'));
    QVERIFY(!undigested.isComplete());
}

void TestAuthenticityVerifier::keySetting_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("blanks only") << "  " << QStringList();
    QTest::newRow("one key") << "AAAA=" << QStringList {"AAAA="};
    QTest::newRow("two keys with blanks") << " AAAA= , BBBB= " << QStringList {"AAAA=", "BBBB="};
    QTest::newRow("empty items") << ",AAAA=,,BBBB=," << QStringList {"AAAA=", "BBBB="};
}

void TestAuthenticityVerifier::keySetting()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, keys);
    QCOMPARE(PackageVerifier::splitKeys(setting), keys);
    QCOMPARE(PackageVerifier(keys).requiresSignature(), !keys.isEmpty());
}

void TestAuthenticityVerifier::verification_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Text>("sha256");
    QTest::addColumn<Text>("signature");
    QTest::addColumn<Text>("size");
    QTest::addColumn<QString>("refusal");

    const KeyPair first = keyPair(1);
    const KeyPair second = keyPair(2);
    const KeyPair stranger = keyPair(3);
    const QStringList one {first.publicBase64()};
    const QStringList two {first.publicBase64(), second.publicBase64()};
    const QByteArray altered = alteredByOneByte(package);
    const Text none;
    const Text digest(sha256(package));
    const Text bySecond(sign(package, second));
    const Text byFirst(sign(package, first));
    const Text size(QString::number(package.size()));

    QTest::newRow("nothing announced, no key")
        << QStringList() << package << none << none << none << accepted;
    QTest::newRow("altered, nothing announced, no key")
        << QStringList() << altered << none << none << none << accepted;
    QTest::newRow("digest matches")
        << QStringList() << package << digest << none << size << accepted;
    QTest::newRow("altered by one byte, digest, no key")
        << QStringList() << altered << digest << none << none << wrongSha256;
    QTest::newRow("altered by one byte, key and digest")
        << one << altered << digest << byFirst << size << wrongSha256;
    QTest::newRow("one byte more than announced")
        << QStringList() << package + "x" << none << none << size << wrongSize(package.size());
    QTest::newRow("one byte less than announced")
        << QStringList() << package.chopped(1) << none << none << size << wrongSize(package.size());
    QTest::newRow("signed with the key") << one << package << digest << byFirst << size << accepted;
    QTest::newRow("signed with the second of two keys")
        << two << package << digest << bySecond << size << accepted;
    QTest::newRow("signed with the first of two keys")
        << two << package << digest << byFirst << size << accepted;
    QTest::newRow("signed with another key")
        << one << package << digest << Text(sign(package, stranger)) << size << badSignature;
    QTest::newRow("signature of other bytes, announced as these")
        << one << package << digest << Text(sign(altered, first)) << size << badSignature;
    QTest::newRow("signed for another component")
        << one << package << digest << Text(sign(package, first, offeredAs("emoticons", "2.0")))
        << size << badSignature;
    QTest::newRow("signed for another version")
        << one << package << digest << Text(sign(package, first, offeredAs("core", "1.0"))) << size
        << badSignature;
    QTest::newRow("signature over the bytes alone")
        << one << package << digest << Text(QString::fromLatin1(first.sign(package))) << size
        << badSignature;
    QTest::newRow("signature with one bit flipped")
        << one << package << digest
        << Text(QString::fromLatin1(
               alteredByOneByte(QByteArray::fromBase64(byFirst->toLatin1())).toBase64()))
        << size << badSignature;
    QTest::newRow("no signature with a key")
        << one << package << digest << none << size << missingSignature;
    QTest::newRow("signed, without the digest the statement needs")
        << one << package << none << byFirst << size << missingChecksum;
    QTest::newRow("signed, without the size the statement needs")
        << one << package << digest << byFirst << none << missingChecksum;
    QTest::newRow("malformed signature with a key")
        << one << package << digest << Text(byFirst->chopped(2)) << size << malformedSignature;
    QTest::newRow("malformed signature without a key is not looked at")
        << QStringList() << package << none << Text("not base64!") << none << accepted;
    QTest::newRow("signature without a key is not looked at")
        << QStringList() << package << none << Text(sign(altered, stranger)) << none << accepted;
    QTest::newRow("malformed digest")
        << one << package << Text(digest->left(10)) << byFirst << size << malformedSha256;
    QTest::newRow("malformed size")
        << QStringList() << package << none << none << Text("many") << malformedSize;
    QTest::newRow("unreadable key beside a good one")
        << QStringList {"not a key", second.publicBase64()} << package << digest << bySecond << size
        << accepted;
    QTest::newRow("only an unreadable key still requires a valid signature")
        << QStringList {"not a key"} << package << digest << byFirst << size << badSignature;
    QTest::newRow("key of the wrong length")
        << QStringList {QString::fromLatin1(first.publicKey.left(31).toBase64())} << package
        << digest << byFirst << size << badSignature;
    QTest::newRow("empty package signed")
        << one << QByteArray() << Text(sha256(QByteArray())) << Text(sign(QByteArray(), first))
        << Text("0") << accepted;
}

void TestAuthenticityVerifier::verification()
{
    QFETCH(QStringList, keys);
    QFETCH(QByteArray, bytes);
    QFETCH(Text, sha256);
    QFETCH(Text, signature);
    QFETCH(Text, size);
    QFETCH(QString, refusal);

    const PackageVerifier verifier(keys);
    const PackageCheck check = checkOf(sha256, signature, size);
    QCOMPARE(refusalText(
                 verifier.verify(bytes.size(), Digest::of(Digest::Sha256, bytes), check, identity)),
             refusal);
}

// Each refusal in the user's words: what the reply alone refuses, before a byte is fetched, and
// what the downloaded bytes are refused for.
void TestAuthenticityVerifier::messages_data()
{
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<Text>("sha256");
    QTest::addColumn<Text>("signature");
    QTest::addColumn<Text>("size");
    QTest::addColumn<QString>("text");

    const KeyPair first = keyPair(1);
    const Text none;
    const Text digest(sha256(package));
    const Text size(QString::number(package.size()));

    QTest::newRow("malformed digest") << false << Text("0123") << none << none << malformedSha256;
    QTest::newRow("malformed signature")
        << true << digest << Text("not base64!") << size << malformedSignature;
    QTest::newRow("malformed size") << false << none << none << Text("many") << malformedSize;
    QTest::newRow("missing signature") << true << digest << none << size << missingSignature;
    QTest::newRow("wrong size") << false << none << none << Text("1234") << wrongSize(1234);
    QTest::newRow("wrong digest") << false << Text(sha256(alteredByOneByte(package))) << none
                                  << none << wrongSha256;
    QTest::newRow("bad signature")
        << true << digest << Text(sign(alteredByOneByte(package), first)) << size << badSignature;
    QTest::newRow("missing checksum")
        << true << none << Text(sign(package, first)) << size << missingChecksum;
    QTest::newRow("accepted") << false << none << none << none << accepted;
}

void TestAuthenticityVerifier::messages()
{
    QFETCH(bool, withKey);
    QFETCH(Text, sha256);
    QFETCH(Text, signature);
    QFETCH(Text, size);
    QFETCH(QString, text);

    const PackageVerifier verifier(withKey ? QStringList {keyPair(1).publicBase64()}
                                           : QStringList());
    const PackageCheck check = checkOf(sha256, signature, size);
    Failure failure = verifier.precheck(check, QStringLiteral("core"));
    if (!failure)
        failure = verifier.verify(package.size(), digestOf(package), check, identity);
    QCOMPARE(refusalText(failure), text);
}

void TestAuthenticityVerifier::sinkStopsAtTheAnnouncedSize()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QFile file(temp.filePath("package.zip"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    PackageSink sink;
    sink.start(&file, Digest::Sha256, 10, QStringLiteral("too long"));

    QCOMPARE(sink.write("0123456"), qint64(7));
    // The write that would pass the limit takes what still fits, and the next one fails.
    QCOMPARE(sink.write("789abc"), qint64(3));
    QCOMPARE(sink.write("d"), qint64(-1));
    QCOMPARE(sink.errorString(), QStringLiteral("too long"));
    file.close();
    QFile written(temp.filePath("package.zip"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("0123456789"));
    // The bytes cut off are not hashed either.
    QCOMPARE(sink.digest().bytes(),
             QCryptographicHash::hash("0123456789", QCryptographicHash::Sha256));

    QFile next(temp.filePath("next.zip"));
    QVERIFY(next.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    sink.start(&next, Digest::Sha256, -1, QString());
    QCOMPARE(sink.write(QByteArray(100000, 'n')), qint64(100000));
    QCOMPARE(sink.digest().bytes(),
             QCryptographicHash::hash(QByteArray(100000, 'n'), QCryptographicHash::Sha256));
}

// The engine checks a package by the digest its sink took while writing it, in pieces of any
// size and for every package anew; the file itself is read only for a signature.
void TestAuthenticityVerifier::digestTakenWhileWriting()
{
    QByteArray large;
    for (qint64 i = 0; i < 300000; ++i)
        large += QByteArray::number(i * 7919 % 65521);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QFile file(temp.filePath("package.zip"));
    QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    PackageSink sink;
    sink.start(&file, Digest::Sha256, -1, QString());
    for (qsizetype at = 0, piece = 1; at < large.size(); at += piece, piece = piece * 3 + 1)
        QVERIFY(sink.write(large.mid(at, piece)) > 0);

    const Digest digest = sink.digest();
    QCOMPARE(digest.bytes(), QCryptographicHash::hash(large, QCryptographicHash::Sha256));
    QVERIFY(sink.digest() == digest);
    const QString size = QString::number(large.size());
    const PackageCheck check = checkOf(sha256(large), std::nullopt, size);
    const PackageVerifier verifier {QStringList()};
    const qint64 written = file.size();
    QCOMPARE(refusalText(verifier.verify(written, digest, check, identity)), accepted);
    QCOMPARE(
        refusalText(verifier.verify(written, digestOf(alteredByOneByte(large)), check, identity)),
        wrongSha256);
    const PackageCheck longer
        = checkOf(sha256(large), std::nullopt, QString::number(large.size() + 1));
    QCOMPARE(refusalText(verifier.verify(written, digest, longer, identity)),
             wrongSize(large.size() + 1));
    QCOMPARE(refusalText(verifier.verify(written, Digest(), check, identity)), wrongSha256);
    const PackageCheck sizeOnly = checkOf(std::nullopt, std::nullopt, size);
    QCOMPARE(refusalText(verifier.verify(written, Digest(), sizeOnly, identity)), accepted);

    // With keys, the digest taken while writing decides, and the signature covers it.
    const KeyPair key = keyPair(1);
    const PackageVerifier signing({key.publicBase64()});
    const PackageCheck signedCheck = checkOf(sha256(large), sign(large, key), size);
    QCOMPARE(refusalText(signing.verify(written, digest, signedCheck, identity)), accepted);
    QCOMPARE(refusalText(
                 signing.verify(written, digestOf(alteredByOneByte(large)), signedCheck, identity)),
             wrongSha256);
    const PackageCheck strangerSigned = checkOf(sha256(large), sign(large, keyPair(3)), size);
    QCOMPARE(refusalText(signing.verify(written, digest, strangerSigned, identity)), badSignature);

    QFile next(temp.filePath("next.zip"));
    QVERIFY(next.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    sink.start(&next, Digest::Sha256, -1, QString());
    QCOMPARE(sink.digest().bytes(),
             QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha256));
}

QTEST_GUILESS_MAIN(TestAuthenticityVerifier)
#include "tst_authenticityverifier.moc"
