#include "catalogue/cataloguefetch.h"
#include "catalogue/cataloguesignature.h"
#include "catalogue/xmlreader.h"
#include "cataloguesigner.h"
#include "testserver.h"
#include "updateserver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

namespace {

const QByteArray kList = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><Hoop>\n"
                         "<FIRMWARE filename=\"hoop-fw-1.3.0.zip\" version=\"1.3.0\" "
                         "MD5=\"aef2bc6462dabb81b069a9ba4ded0143\" desc=\"Brighter\"/>\n"
                         "</Hoop></root>\n";
const QString kFormat = QStringLiteral("it is not in minisign's format");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray stamp(qint64 timestamp, const QByteArray &separator = "\t")
{
    return "timestamp:" + QByteArray::number(timestamp) + separator + "file:updates.xml" +
           separator + "hashed";
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

class TestCatalogueSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    TestServer server;
    std::mutex lock;
    QByteArray servedList, servedSignature; // empty: 404
    int signatureRequests = 0;

    void serve(const QByteArray &list, const QByteArray &signature)
    {
        std::lock_guard guard(lock);
        servedList = list;
        servedSignature = signature;
        signatureRequests = 0;
    }
    QString key(const QString &name)
    {
        return QString::fromLatin1(readFile(dir.filePath(name + ".pub")).split('\n').value(1));
    }
    // minisign's signature of list by the key of that name.
    QByteArray sign(const QString &name, const QByteArray &list, const QStringList &options)
    {
        const QString path = dir.filePath("signed.xml");
        QFile::remove(path + ".minisig");
        if (!writeFile(path, list) ||
            QProcess::execute("minisign",
                              QStringList{"-S", "-s", dir.filePath(name + ".key"), "-m", path} +
                                  options) != 0)
            return {};
        return readFile(path + ".minisig");
    }
    // The signature made as the row says, damaged as it says; the list too.
    bool prepare(const QString &signer, const QStringList &options, const QString &damage,
                 QByteArray &list, QByteArray &signature)
    {
        list = kList;
        signature = signer.isEmpty() ? QByteArray() : sign(signer, kList, options);
        if (!signer.isEmpty() && !signature.startsWith("untrusted comment: "))
            return false;
        QList<QByteArray> lines = signature.split('\n');
        if (damage == "digest rewritten")
            list.replace("aef2bc", "bef2bc");
        else if (damage == "no list")
            list.clear();
        else if (damage == "CRLF, no final newline")
            signature = signature.replace("\n", "\r\n").chopped(2);
        else if (damage == "timestamp raised")
            lines[2] = "trusted comment: " + stamp(9999999999);
        else if (damage == "truncated")
            signature.chop(10);
        else if (damage == "HTML page")
            signature = "<html><body>Not Found</body></html>\n";
        else if (damage == "junk after the signature")
            lines[1] += "AAAA";
        else if (damage == "no trusted comment prefix")
            lines[2] = lines[2].mid(int(qstrlen("trusted comment: ")));
        else if (damage == "unknown algorithm")
            lines[1] = ("Xd" + QByteArray::fromBase64(lines[1]).mid(2)).toBase64();
        if (damage == "timestamp raised" || damage == "junk after the signature" ||
            damage == "no trusted comment prefix" || damage == "unknown algorithm")
            signature = lines.join('\n');
        return true;
    }

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*");
        QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(),
                 "minisign is needed to sign the test lists (apt-get install minisign)");
        for (const QString name : {"a", "b"})
            QCOMPARE(QProcess::execute("minisign", {"-G", "-W", "-p", dir.filePath(name + ".pub"),
                                                    "-s", dir.filePath(name + ".key")}),
                     0);
        QVERIFY(server.bound());
        server.http().Get(R"(/fw-updates/updates\.xml(\.minisig)?)",
                          [this](const httplib::Request &req, httplib::Response &res) {
                              std::lock_guard guard(lock);
                              const bool signature = req.matches[1].length() > 0;
                              signatureRequests += signature;
                              const QByteArray &body = signature ? servedSignature : servedList;
                              res.status = body.isEmpty() ? 404 : 200;
                              res.set_content(body.toStdString(), "application/octet-stream");
                          });
        server.start();
    }

    void fetch_data()
    {
        QTest::addColumn<QString>("signer"); // key that signs; empty: no signature served
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("trusted");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("refusal");

        const QString a = "a", b = "b", intact, accepted;
        const QStringList byA{a}, none;
        QTest::newRow("legacy Ed") << a << QStringList{"-l"} << byA << intact << accepted;
        QTest::newRow("key roll: the second key signs")
            << b << none << QStringList{a, b} << intact << accepted;
        QTest::newRow("CRLF, no final newline")
            << a << none << byA << "CRLF, no final newline" << accepted;
        QTest::newRow("list not fetched") << a << none << byA << "no list" << accepted;
        QTest::newRow("signature missing") << QString() << none << byA << intact << "it is missing";
        QTest::newRow("another key") << b << none << byA << intact << "signed by an unknown key";
        QTest::newRow("trusted comment altered") << a << none << byA << "timestamp raised"
                                                 << "its trusted comment was altered";
        QTest::newRow("truncated") << a << none << byA << "truncated" << kFormat;
        QTest::newRow("HTML page") << a << none << byA << "HTML page" << kFormat;
        QTest::newRow("junk after the signature")
            << a << none << byA << "junk after the signature" << kFormat;
        QTest::newRow("no trusted comment prefix")
            << a << none << byA << "no trusted comment prefix" << kFormat;
        QTest::newRow("unknown algorithm") << a << none << byA << "unknown algorithm" << kFormat;
    }
    void fetch()
    {
        QFETCH(QString, signer);
        QFETCH(QStringList, options);
        QFETCH(QStringList, trusted);
        QFETCH(QString, damage);
        QFETCH(QString, refusal);
        QByteArray list, signature;
        QVERIFY(prepare(signer, options, damage, list, signature));
        serve(list, signature);
        CatalogueTrust trust;
        for (const QString &name : trusted)
            trust.publicKeys << key(name);

        const CatalogueFetch fetch = fetchCatalogue(server.url(""), trust);
        QCOMPARE(fetch.refusal, refusal);
        const bool listed = refusal.isEmpty() && !list.isEmpty();
        QCOMPARE(fetch.firmware.toMap().value("MD5").toString(),
                 listed ? QString("aef2bc6462dabb81b069a9ba4ded0143") : QString());
    }

    void rollback_data()
    {
        QTest::addColumn<QByteArray>("stored"); // null: no state file yet
        QTest::addColumn<qint64>("signedAt");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<QByteArray>("separator"); // between the trusted comment's fields

        const QString intact, accepted, older = "the list is older than the one accepted before";
        const QByteArray none, at2000 = "2000\n", tab = "\t", space = " ";
        QTest::newRow("first list: its directory made")
            << none << qint64(1000) << intact << accepted << QByteArray("1000") << tab;
        QTest::newRow("older refused")
            << at2000 << qint64(1999) << intact << older << QByteArray("2000") << tab;
        QTest::newRow("older refused, comment typed with spaces")
            << at2000 << qint64(1999) << intact << older << QByteArray("2000") << space;
        QTest::newRow("same accepted")
            << at2000 << qint64(2000) << intact << accepted << QByteArray("2000") << tab;
        QTest::newRow("newer raises it")
            << at2000 << qint64(2001) << intact << accepted << QByteArray("2001") << tab;
        QTest::newRow("newer raises it, comment typed with spaces")
            << at2000 << qint64(2001) << intact << accepted << QByteArray("2001") << space;
        QTest::newRow("bad signature leaves it")
            << at2000 << qint64(3000) << "digest rewritten"
            << "the signature does not match the list" << QByteArray("2000") << tab;
    }
    void rollback()
    {
        QFETCH(QByteArray, stored);
        QFETCH(qint64, signedAt);
        QFETCH(QString, damage);
        QFETCH(QString, refusal);
        QFETCH(QByteArray, kept);
        QFETCH(QByteArray, separator);
        QByteArray list, signature;
        QVERIFY(prepare("a", {"-t", QString::fromUtf8(stamp(signedAt, separator))}, damage, list,
                        signature));
        serve(list, signature);
        const QTemporaryDir state;
        const CatalogueTrust trust{{key("a")}, state.filePath("state/catalogue-timestamp")};
        QVERIFY(stored.isNull() ||
                (QDir().mkpath(state.filePath("state")) && writeFile(trust.stateFile, stored)));

        QCOMPARE(fetchCatalogue(server.url(""), trust).refusal, refusal);
        QCOMPARE(readFile(trust.stateFile).trimmed(), kept);
    }

    // A vendor's clock ran a month ahead: that list is refused with its date
    // and leaves the kept timestamp alone, so the next correctly dated list is
    // taken, and an older one than that is still refused.
    void futureDatedThenCorrectThenOlder()
    {
        const QTemporaryDir state;
        const CatalogueTrust trust{{key("a")}, state.filePath("catalogue-timestamp")};
        const qint64 start = now(), ahead = start + 30 * 24 * 60 * 60;
        QVERIFY(writeFile(trust.stateFile, QByteArray::number(start - 1000)));
        struct Step
        {
            qint64 signedAt;
            QString refusal;
            qint64 kept;
        };
        const Step steps[] = {
            {ahead,
             "it is dated in the future, " +
                 QDateTime::fromSecsSinceEpoch(ahead, Qt::UTC).toString("yyyy-MM-dd HH:mm:ss") +
                 " UTC, more than a day past this computer's clock",
             start - 1000},
            {start, {}, start},
            {start - 500, "the list is older than the one accepted before", start},
        };
        for (const Step &step : steps) {
            QByteArray list, signature;
            QVERIFY(
                prepare("a", {"-t", QString::fromUtf8(stamp(step.signedAt))}, {}, list, signature));
            serve(list, signature);
            QCOMPARE(fetchCatalogue(server.url(""), trust).refusal, step.refusal);
            QCOMPARE(readFile(trust.stateFile).trimmed().toLongLong(), step.kept);
        }
    }

    void futureBoundary_data()
    {
        QTest::addColumn<qint64>("ahead"); // seconds past now
        QTest::addColumn<bool>("future");
        QTest::newRow("a day ahead: clocks differ") << qint64(24 * 60 * 60) << false;
        QTest::newRow("a second more") << qint64(24 * 60 * 60 + 1) << true;
    }
    void futureBoundary()
    {
        QFETCH(qint64, ahead);
        QFETCH(bool, future);
        const qint64 at = 1733580000;
        QCOMPARE(signedInFuture(at + ahead, at), future);
    }

    // What minisign writes, what a vendor types with -t, and what must not pass.
    void timestampField_data()
    {
        QTest::addColumn<QString>("comment");
        QTest::addColumn<qint64>("timestamp"); // -1: none read
        QTest::newRow("minisign's, tabs")
            << "timestamp:1733580000\tfile:updates.xml\thashed" << qint64(1733580000);
        QTest::newRow("typed, spaces")
            << "timestamp:1733580000 file:updates.xml" << qint64(1733580000);
        QTest::newRow("not first") << "release 7 timestamp:42" << qint64(42);
        QTest::newRow("part of another word") << "mytimestamp:42 file:x" << qint64(-1);
        QTest::newRow("a colon after the digits") << "timestamp:42:00" << qint64(-1);
        QTest::newRow("no digits") << "timestamp: 42" << qint64(-1);
        QTest::newRow("too many digits") << "timestamp:1234567890123456789" << qint64(-1);
    }
    void timestampField()
    {
        QFETCH(QString, comment);
        QFETCH(qint64, timestamp);
        QCOMPARE(trustedTimestamp(comment).value_or(-1), timestamp);
    }

    // No keys: the list as before, and nothing of a signature asked for or kept.
    void unsignedAsBefore()
    {
        serve(kList, "garbage");
        const QTemporaryDir state;
        const CatalogueFetch fetch =
            fetchCatalogue(server.url(""), {{}, state.filePath("catalogue-timestamp")});
        QVERIFY(fetch.refusal.isEmpty());
        QCOMPARE(fetch.firmware, XMLReader::getFirmwareList(server.url("/fw-updates/updates.xml")));
        QVERIFY(QDir(state.path()).isEmpty());
        std::lock_guard guard(lock);
        QCOMPARE(signatureRequests, 0);
    }

    // The vendor's server refuses to start on a list the program would refuse,
    // and serves the signature of one it would take.
    void vendorServer_data()
    {
        QTest::addColumn<QString>("signer"); // empty: a generated catalogue
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("refusal");
        const QString refused = "updates.xml's signature does not verify: ", accepted, plain;
        const QString ahead = QString::fromUtf8(stamp(now() + 2 * 24 * 60 * 60, " "));
        QTest::newRow("signed by the trusted key") << "a" << plain << accepted << accepted;
        QTest::newRow("comment typed with spaces")
            << "a" << QString::fromUtf8(stamp(now(), " ")) << accepted << accepted;
        QTest::newRow("another key") << "b" << plain << refused + "signed by an unknown key"
                                     << "signed by an unknown key";
        QTest::newRow("generated catalogue") << QString() << plain << refused << "it is missing";
        QTest::newRow("no timestamp in the comment")
            << "a"
            << "signed on Monday, file:updates.xml"
            << "updates.xml's signature has no timestamp the program can read in its trusted "
               "comment \"signed on Monday, file:updates.xml\""
            << accepted;
        QTest::newRow("timestamp glued to the next field")
            << "a"
            << "timestamp:1733580000,file:updates.xml"
            << "updates.xml's signature has no timestamp" << accepted;
        QTest::newRow("dated two days ahead")
            << "a" << ahead << "updates.xml's signature is dated in the future, "
            << "it is dated in the future, ";
    }
    void vendorServer()
    {
        QFETCH(QString, signer);
        QFETCH(QString, comment);
        QFETCH(QString, problem);
        QFETCH(QString, refusal);
        const QTemporaryDir published;
        QVERIFY(writeFile(published.filePath("hoop-fw-1.3.0.zip"), "image"));
        const QStringList options = comment.isEmpty() ? QStringList() : QStringList{"-t", comment};
        if (!signer.isEmpty())
            QVERIFY(
                writeFile(published.filePath("updates.xml"), kList) &&
                writeFile(published.filePath("updates.xml.minisig"), sign(signer, kList, options)));

        const QString found = hoopupdate::catalogueSignatureProblem(published.path(), {key("a")});
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.startsWith(problem),
                 qPrintable(found));
        hoopupdate::UpdateServer vendor(published.path());
        QVERIFY(vendor.start());
        const QString got = fetchCatalogue(vendor.baseUrl(), {{key("a")}, {}}).refusal;
        QVERIFY2(refusal.isEmpty() ? got.isEmpty() : got.startsWith(refusal), qPrintable(got));
    }

    // The demo's signer writes what minisign itself verifies.
    void signerAgreesWithMinisign()
    {
        const hoopupdate::CatalogueSigner signer;
        const QString path = dir.filePath("demo.xml");
        QVERIFY(signer.isValid() && writeFile(path, kList) &&
                writeFile(path + ".minisig", signer.sign(kList, stamp(1000))));
        QCOMPARE(QProcess::execute("minisign", {"-V", "-q", "-m", path, "-P", signer.publicKey()}),
                 0);
    }
};

QTEST_GUILESS_MAIN(TestCatalogueSignature)
#include "tst_cataloguesignature.moc"
