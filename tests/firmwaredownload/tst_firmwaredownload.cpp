#include "update/firmwaredownload.h"

#include "filesizelimit.h"
#include "testserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Bytes = std::optional<QByteArray>;

class TestFirmwareDownload : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void check_data()
    {
        QTest::addColumn<Bytes>("data");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<QString>("found");

        // RFC 1321, appendix A.5 gives the digest of "abc"; firmware is binary, so every byte
        // value counts too.
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QTest::newRow("every byte value") << Bytes(all) << "e2c865db4162bed963bfaa9ef6ac18f0"
                                          << true << "E2C865DB4162BED963BFAA9EF6AC18F0";
        const QString abcUpper = QStringLiteral("900150983CD24FB0D6963F7D28E17F72");
        QTest::newRow("other image")
            << Bytes(QByteArray("abd")) << abcUpper << false << "4911E516E5AA21D327512E0C8B197616";
        QTest::newRow("no data") << Bytes() << abcUpper << false << "";
    }
    void check()
    {
        QFETCH(Bytes, data);
        QFETCH(QString, expected);
        QFETCH(bool, passed);
        QFETCH(QString, found);

        const DigestCheck result = checkDigest(data, expected);
        QCOMPARE(result.passed, passed);
        QCOMPARE(result.foundDigest, found);
    }
    void destinationDirectory()
    {
        // Missing parents are made; a second call finds the directory in place.
        const QString temp = m_dir->filePath("a/b/c"), directory = temp + "/com.vexlume.hoop";
        QCOMPARE(::destinationDirectory(temp, "com.vexlume.hoop"), directory);
        QVERIFY(QFileInfo(directory).isDir());
        QCOMPARE(::destinationDirectory(temp, "com.vexlume.hoop"), directory);
    }
    void download_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("cap"); // 0: the firmware default, under which the image comes

        QTest::newRow("image larger than a catalogue may be") << "big" << 5 * 1024 * 1024 << 0ll;
        QTest::newRow("over the cap") << "v1.2" << 12000 << 1024ll;
        QTest::newRow("name used unescaped") << "v1.2+rc~1_(b)" << 12000 << 0ll;
    }
    void download()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(qint64, cap);

        const QByteArray body(size, 'F');
        TestServer server;
        QVERIFY(server.bound());
        std::string requested;
        server.http().Get(".*", [&](const httplib::Request &request, httplib::Response &response) {
            requested = request.target;
            response.set_content(body.toStdString(), "application/zip");
        });
        server.start();
        FetchLimits limits = firmwareFetchLimits();
        if (cap)
            limits.maxBytes = cap;
        const Bytes data = downloadFirmware(firmwareUrl(server.url(QString()), name), limits);
        server.stop();

        QCOMPARE(QString::fromStdString(requested), "/fw-updates/" + name + ".zip");
        QVERIFY(data == (cap ? Bytes() : Bytes(body)));
    }
    void store_data()
    {
        QTest::addColumn<QByteArray>("earlier"); // null: no earlier file
        QTest::addColumn<Bytes>("data");
        QTest::addColumn<bool>("limited");     // under a 1 KiB file size limit
        QTest::addColumn<QByteArray>("after"); // null: no file afterwards

        const QByteArray image(":10000000DEADBEEF\n:00000001FF\n");
        QTest::newRow("longer earlier image replaced")
            << QByteArray(4096, 'o') << Bytes(image) << false << image;
        QTest::newRow("empty body stored as an empty file")
            << QByteArray("old") << Bytes(QByteArray("")) << false << QByteArray("");
        // A failed store must not leave an earlier image for the flash step; the
        // size limit binds root as well.
        QTest::newRow("failed store removes an earlier file")
            << QByteArray("old") << Bytes(QByteArray(1024 * 1024, 'F')) << true << QByteArray();
        // Small enough to wait in the write buffer until the commit.
        QTest::newRow("the last write fails")
            << QByteArray("old") << Bytes(QByteArray(4096, 'F')) << true << QByteArray();
    }
    void store()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(Bytes, data);
        QFETCH(bool, limited);
        QFETCH(QByteArray, after);

        const QString path = firmwareDestination(m_dir->path(), QStringLiteral("v1.2"));
        if (!earlier.isNull()) {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(earlier);
        }
        bool stored = false;
        {
            const FileSizeLimit cap(limited ? 1024 : RLIM_INFINITY);
            QVERIFY(cap.applied());
            stored = storeFirmware(path, data);
        }
        QCOMPARE(stored, data.has_value() && !limited);
        QFile file(path);
        QCOMPARE(file.exists(), !after.isNull());
        if (!after.isNull()) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), after);
        }
        // No temporary file is left beside it.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(),
                 after.isNull() ? 0 : 1);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestFirmwareDownload)
#include "tst_firmwaredownload.moc"
