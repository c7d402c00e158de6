// The vendor's update server serves the firmware directory and nothing else.
#include "tools/updateserver/updateserver.h"

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using hoopupdate::UpdateServer;

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void serves_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("firmware") << "/fw-updates/fw.zip" << 200;
        QTest::newRow("with query") << "/fw-updates/fw.zip?x=1" << 200;
        QTest::newRow("missing") << "/fw-updates/none.zip" << 404;
        QTest::newRow("index") << "/fw-updates/" << 404;
        QTest::newRow("root") << "/" << 404;
        QTest::newRow("elsewhere") << "/other/fw.zip" << 404;
        QTest::newRow("dot dot") << "/fw-updates/../outside.txt" << 404;
        QTest::newRow("dot dot encoded") << "/fw-updates/%2e%2e/outside.txt" << 404;
        QTest::newRow("slash encoded") << "/fw-updates/..%2Foutside.txt" << 404;
        QTest::newRow("backslash") << "/fw-updates/..%5Coutside.txt" << 404;
        QTest::newRow("absolute") << "/fw-updates/%2Fetc%2Fpasswd" << 404;
        QTest::newRow("subdirectory") << "/fw-updates/sub/inner.zip" << 404;
        QTest::newRow("the directory") << "/fw-updates/sub" << 404;
        QTest::newRow("hidden") << "/fw-updates/.hidden" << 404;
        QTest::newRow("link out") << "/fw-updates/link.zip" << 404;
        QTest::newRow("NUL") << "/fw-updates/fw.zip%00.txt" << 404;
    }
    void serves()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        const QByteArray firmware("FIRMWARE\0\xff\r\n", 12);
        QTemporaryDir root;
        const QString dir = root.filePath(QStringLiteral("served"));
        const QMap<QString, QByteArray> files{{"outside.txt", "SECRET"},
                                              {"served/fw.zip", firmware},
                                              {"served/sub/inner.zip", "SECRET"},
                                              {"served/.hidden", "SECRET"}};
        for (auto it = files.begin(); it != files.end(); ++it) {
            QVERIFY(QDir(root.path()).mkpath(QFileInfo(it.key()).path()));
            QFile f(root.filePath(it.key()));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(it.value()) == it.value().size());
        }
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
            QCOMPARE(QByteArray::fromStdString(res->body), firmware);
    }
};

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
