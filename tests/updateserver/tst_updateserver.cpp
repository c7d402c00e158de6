#include "tools/hoopsim/samplefirmware.h"
#include "tools/updateserver/updateserver.h"
#include "update/intelhex.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using hoopupdate::UpdateServer;

namespace {

using Files = QMap<QString, QByteArray>;

struct Entry
{
    QString filename, version, md5, desc, date;
};

QList<Entry> entriesOf(const QByteArray &xml)
{
    QList<Entry> entries;
    QXmlStreamReader r(xml);
    QStringList path;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            path << r.name().toString();
            if (path == QStringList{"root", "Hoop", "FIRMWARE"}) {
                const auto a = r.attributes();
                entries << Entry{a.value("filename").toString(), a.value("version").toString(),
                                 a.value("MD5").toString(), a.value("desc").toString(),
                                 a.value("date").toString()};
            }
        } else if (r.isEndElement()) {
            path.removeLast();
        }
    }
    return r.hasError() ? QList<Entry>{{"XML ERROR", r.errorString(), {}, {}, {}}} : entries;
}

void writeFiles(const QString &dir, const Files &files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        QFile f(dir + QLatin1Char('/') + it.key());
        QDir().mkpath(QFileInfo(f).absolutePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
    }
}

} // namespace

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void catalogue_data()
    {
        QTest::addColumn<Files>("files");
        // filename|version|MD5|desc for each entry, in order
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("digests and natural order")
            << Files{{"fw-1.10.zip", "abc"}, {"fw-1.9.zip", ""}, {"fw-1.2.zip", "hello\n"}}
            << QStringList{"fw-1.2.zip|1.2|b1946ac92492d2347c6235b4d2611184|Firmware 1.2",
                           "fw-1.9.zip|1.9|d41d8cd98f00b204e9800998ecf8427e|Firmware 1.9",
                           "fw-1.10.zip|1.10|900150983cd24fb0d6963f7d28e17f72|Firmware 1.10"};
        QTest::newRow("description sidecar, escaped")
            << Files{{"hoop_v2.zip", "abc"}, {"hoop_v2.desc", "Fades & \"glow\" <fast>\nmore\n"}}
            << QStringList{
                   "hoop_v2.zip|2|900150983cd24fb0d6963f7d28e17f72|Fades & \"glow\" <fast>"};
        QTest::newRow("only lower-case .zip, visible, URL-safe")
            << Files{{"a.ZIP", "x"},    {"b.hex", "x"},     {".c.zip", "x"}, {"d e.zip", "x"},
                     {"e%20.zip", "x"}, {"sub/f.zip", "x"}, {"g.zip", "abc"}}
            << QStringList{"g.zip|g|900150983cd24fb0d6963f7d28e17f72|Firmware g"};
        QTest::newRow("no firmware") << Files{{"readme.txt", "x"}} << QStringList{};
    }
    void catalogue()
    {
        QFETCH(Files, files);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        writeFiles(dir.path(), files);
        UpdateServer server(dir.path());
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(server.catalogueGenerated());
        httplib::Client client("127.0.0.1", server.port());
        const auto res = client.Get("/fw-updates/updates.xml");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        const QByteArray xml = QByteArray::fromStdString(res->body);
        QCOMPARE(xml, server.catalogue());
        QStringList got;
        const QRegularExpression day(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        for (const Entry &e : entriesOf(xml)) {
            got << QStringList{e.filename, e.version, e.md5, e.desc}.join(QLatin1Char('|'));
            QVERIFY2(day.match(e.date).hasMatch(), qPrintable(e.date));
        }
        QCOMPARE(got, expected);
    }

    void ownCatalogueWins()
    {
        QTemporaryDir dir;
        const QByteArray own =
            "<root><Hoop><FIRMWARE filename=\"x.zip\" MD5=\"00\"/></Hoop></root>";
        writeFiles(dir.path(), {{"updates.xml", own}, {"y.zip", "abc"}});
        UpdateServer server(dir.path());
        QVERIFY(server.start());
        QVERIFY(!server.catalogueGenerated());
        httplib::Client client("127.0.0.1", server.port());
        const auto res = client.Get("/fw-updates/updates.xml");
        QVERIFY(res);
        QCOMPARE(QByteArray::fromStdString(res->body), own);
    }

    void serves_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body"); // checked when the status is 200
        QTest::newRow("firmware") << "/fw-updates/fw.zip" << 200
                                  << QByteArray("FIRMWARE\0\xff\r\n", 12);
        QTest::newRow("with query")
            << "/fw-updates/fw.zip?x=1" << 200 << QByteArray("FIRMWARE\0\xff\r\n", 12);
        QTest::newRow("missing") << "/fw-updates/none.zip" << 404 << QByteArray();
        QTest::newRow("index") << "/fw-updates/" << 404 << QByteArray();
        QTest::newRow("root") << "/" << 404 << QByteArray();
        QTest::newRow("elsewhere") << "/other/fw.zip" << 404 << QByteArray();
        QTest::newRow("dot dot") << "/fw-updates/../outside.txt" << 404 << QByteArray();
        QTest::newRow("dot dot encoded") << "/fw-updates/%2e%2e/outside.txt" << 404 << QByteArray();
        QTest::newRow("slash encoded") << "/fw-updates/..%2Foutside.txt" << 404 << QByteArray();
        QTest::newRow("backslash") << "/fw-updates/..%5Coutside.txt" << 404 << QByteArray();
        QTest::newRow("absolute") << "/fw-updates/%2Fetc%2Fpasswd" << 404 << QByteArray();
        QTest::newRow("subdirectory") << "/fw-updates/sub/inner.zip" << 404 << QByteArray();
        QTest::newRow("the directory") << "/fw-updates/sub" << 404 << QByteArray();
        QTest::newRow("hidden") << "/fw-updates/.hidden" << 404 << QByteArray();
        QTest::newRow("link out") << "/fw-updates/link.zip" << 404 << QByteArray();
        QTest::newRow("NUL") << "/fw-updates/fw.zip%00.txt" << 404 << QByteArray();
    }
    void serves()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QTemporaryDir root;
        const QString dir = root.filePath(QStringLiteral("served"));
        writeFiles(root.path(), {{"outside.txt", "SECRET"},
                                 {"served/fw.zip", QByteArray("FIRMWARE\0\xff\r\n", 12)},
                                 {"served/sub/inner.zip", "SECRET"},
                                 {"served/.hidden", "SECRET"}});
        QVERIFY(QFile::link(root.filePath(QStringLiteral("outside.txt")), dir + "/link.zip"));
        UpdateServer server(dir);
        QVERIFY(server.start());
        httplib::Client client("127.0.0.1", server.port());
        client.set_url_encode(false); // the path goes out exactly as written
        const auto res = client.Get(path.toStdString());
        QVERIFY(res);
        QCOMPARE(res->status, status);
        QVERIFY(res->body.find("SECRET") == std::string::npos);
        if (status == 200)
            QCOMPARE(QByteArray::fromStdString(res->body), body);
    }

    void bigFirmwareArrivesIntact()
    {
        QTemporaryDir dir;
        const QStringList files = hoopsim::writeSampleFirmware(dir.path(), 700 * 1024);
        QCOMPARE(files.size(), 3);
        UpdateServer server(dir.path());
        QVERIFY(server.start());
        httplib::Client client("127.0.0.1", server.port());
        for (const Entry &e : entriesOf(server.catalogue())) {
            const auto res = client.Get(("/fw-updates/" + e.filename).toStdString());
            QVERIFY(res);
            QCOMPARE(res->status, 200);
            const QByteArray bytes = QByteArray::fromStdString(res->body);
            QFile f(dir.filePath(e.filename));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(bytes, f.readAll());
            QCOMPARE(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex(),
                     e.md5.toLatin1());
            QVERIFY(parseIntelHex(res->body).ok);
        }
    }

    void startAndStop()
    {
        QTemporaryDir dir;
        UpdateServer first(dir.path());
        QVERIFY(first.start());
        QVERIFY(first.isRunning());
        QVERIFY(first.baseUrl().startsWith(QStringLiteral("http://127.0.0.1:")));

        UpdateServer second(dir.path());
        QVERIFY(!second.start(QStringLiteral("127.0.0.1"), first.port())); // port taken
        QVERIFY(!second.errorString().isEmpty());

        const int port = first.port();
        first.stop();
        first.stop();
        QVERIFY(!first.isRunning());
        QVERIFY(second.start(QStringLiteral("127.0.0.1"), port));
        httplib::Client client("127.0.0.1", port);
        QVERIFY(client.Get("/fw-updates/updates.xml"));

        UpdateServer missing(dir.filePath(QStringLiteral("nowhere")));
        QVERIFY(!missing.start());
        QVERIFY(missing.errorString().contains(QStringLiteral("nowhere")));
    }

    void program()
    {
        QTemporaryDir dir;
        writeFiles(dir.path(), {{"fw-3.zip", "abc"}});
        QProcess p;
        p.start(QStringLiteral(HOOP_UPDATE_SERVER_PATH),
                {dir.path(), QStringLiteral("--port"), "0"});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY(p.canReadLine());
        const QString line = QString::fromUtf8(p.readLine());
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("at http://127\\.0\\.0\\.1:(\\d+)/fw-updates/"))
                .match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        httplib::Client client("127.0.0.1", m.captured(1).toInt());
        const auto res = client.Get("/fw-updates/fw-3.zip");
        QVERIFY(res);
        QCOMPARE(res->body, std::string("abc"));
        p.terminate();
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        p.start(QStringLiteral(HOOP_UPDATE_SERVER_PATH),
                {dir.path(), QStringLiteral("--port"), "x"});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
