// The vendor's server as vendors run it: the real program in a child process,
// serving real files, asked over HTTP.

#include "samplefirmware.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QByteArray kGood = hoopsim::sampleFirmwareHex(QStringLiteral("hoop-fw-1.0.0"), 2048);
// Intel HEX, but only for the bootloader's area: the program refuses it.
const QByteArray kBootloaderOnly = ":0400000001020304F2\r\n:00000001FF\r\n";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString hex(const QByteArray &bytes, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, algorithm).toHex());
}

QByteArray catalogue(const QString &name, const QString &md5, const QString &sha256 = {})
{
    const QString digest =
        sha256.isEmpty() ? QString() : QStringLiteral(" SHA256=\"%1\"").arg(sha256);
    return QStringLiteral("<root><Hoop><FIRMWARE filename=\"%1\" version=\"1\" MD5=\"%2\"%3 "
                          "desc=\"d\"/></Hoop></root>")
        .arg(name, md5, digest)
        .toUtf8();
}

// Runs the real minisign, its chatter kept out of the test's output.
bool minisign(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(QStringLiteral("minisign"), arguments);
    process.write(input);
    process.closeWriteChannel();
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// The program, its merged output, and the port it serves on.
struct Server
{
    QProcess process;
    QByteArray output;
    int port = 0;

    explicit Server(const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(UPDATE_SERVER_PROGRAM), arguments);
    }
    ~Server()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished();
        }
    }
    // Waits until the output holds text count times, or the program ends;
    // bounded only against a hang.
    bool waitFor(const QByteArray &text, int count = 1)
    {
        const QDeadlineTimer bound(120000);
        while (output.count(text) < count && !bound.hasExpired()) {
            if (process.state() == QProcess::NotRunning) {
                output += process.readAll();
                break;
            }
            process.waitForReadyRead(100);
            output += process.readAll();
        }
        return output.count(text) >= count;
    }
    bool started()
    {
        if (!waitFor("Serving "))
            return false;
        static const QRegularExpression at(QStringLiteral("http://127\\.0\\.0\\.1:(\\d+)/"));
        port = at.match(QString::fromUtf8(output)).captured(1).toInt();
        return port > 0;
    }
    int exitCode()
    {
        waitFor("\x01never");
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    std::pair<int, QByteArray> get(const QString &name) const
    {
        httplib::Client client("127.0.0.1", port);
        const auto response = client.Get("/fw-updates/" + name.toStdString());
        if (!response)
            return {0, {}};
        return {response->status, QByteArray::fromStdString(response->body)};
    }
};

} // namespace

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("no_proxy", "*"); }

    // Each row is a directory the server must refuse, and the line that says why.
    void refusesToStart_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("line");
        const QString key = "%1: a minisign secret key; keep secret keys out of the served "
                            "directory (for example in ~/.minisign/)";
        QTest::newRow("secret key without a password, any name") << "key" << key.arg("backup.dat");
        QTest::newRow("hidden secret key with a password, its comment replaced, CRLF")
            << "hidden key" << key.arg(".hoop.key");
        QTest::newRow("MD5 mismatch")
            << "md5"
            << "hoop-fw-1.0.0.zip: its MD5 is " + hex(kGood, QCryptographicHash::Md5) +
                   ", but updates.xml gives \"00\"";
        QTest::newRow("SHA-256 mismatch")
            << "sha256"
            << "hoop-fw-1.0.0.zip: its SHA-256 does not match the one updates.xml gives";
        QTest::newRow("unflashable image")
            << "unflashable"
            << "hoop-fw-1.0.0.zip: the program would refuse to flash it: it holds no data for the "
               "application area (0x00002000 to 0x0003FFFF)";
        QTest::newRow("listed image missing")
            << "missing"
            << "hoop-fw-1.0.0.zip: listed in updates.xml, but it is missing, hidden, or not a "
               "regular file in the directory";
        QTest::newRow("listed image hidden")
            << "hidden image"
            << ".fw.zip: listed in updates.xml, but it is missing, hidden, or not a regular file "
               "in the directory";
        QTest::newRow("empty directory") << "empty"
                                         << "no image to serve: put each as <name>.zip in ";
    }
    void refusesToStart()
    {
        QFETCH(QString, fault);
        QFETCH(QString, line);
        const QTemporaryDir dir;
        auto put = [&](const QString &name, const QByteArray &bytes) {
            return writeFile(dir.filePath(name), bytes);
        };
        if (fault != "empty")
            QVERIFY(put("hoop-fw-1.0.0.zip", fault == "unflashable" ? kBootloaderOnly : kGood));
        const QString md5 = hex(kGood, QCryptographicHash::Md5);
        if (fault == "key") {
            QVERIFY(minisign(
                {"-G", "-W", "-p", dir.filePath("hoop.pub"), "-s", dir.filePath("backup.dat")}));
        } else if (fault == "hidden key") {
            QVERIFY(
                minisign({"-G", "-p", dir.filePath("hoop.pub"), "-s", dir.filePath(".hoop.key")},
                         "secret\nsecret\n"));
            // Its comment gone, only the key's line tells what it is.
            const QByteArray line = readFile(dir.filePath(".hoop.key")).split('\n').value(1);
            QVERIFY(put(".hoop.key", "Saved from the key chain\r\n" + line + "\r\n"));
        } else if (fault == "md5") {
            QVERIFY(put("updates.xml", catalogue("hoop-fw-1.0.0.zip", "00")));
        } else if (fault == "sha256") {
            QVERIFY(put("updates.xml", catalogue("hoop-fw-1.0.0.zip", md5, QString(64, 'a'))));
        } else if (fault == "missing") {
            QVERIFY(QFile::remove(dir.filePath("hoop-fw-1.0.0.zip")) &&
                    put("updates.xml", catalogue("hoop-fw-1.0.0.zip", md5)));
        } else if (fault == "hidden image") {
            QVERIFY(put(".fw.zip", kGood) && put("updates.xml", catalogue(".fw.zip", md5)));
        }

        Server server({dir.path(), "--port", "0"});
        QCOMPARE(server.exitCode(), 1);
        QVERIFY2(server.output.contains(("hoop-update-server: " + line).toUtf8()),
                 server.output.constData());
        QVERIFY(!server.output.contains("Serving "));
    }

    // Only the catalogue, its signature and the listed images leave the
    // server; the catalogue it serves is the one it wrote for signing.
    void servesOnlyFirmware_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::newRow("listed image") << "hoop-fw-1.0.0.zip" << 200;
        QTest::newRow("catalogue") << "updates.xml" << 200;
        QTest::newRow("signature") << "updates.xml.minisig" << 200;
        QTest::newRow("image added after the catalogue") << "hoop-fw-2.0.0.zip" << 404;
        QTest::newRow("notes") << "notes.txt" << 404;
        QTest::newRow("description") << "hoop-fw-1.0.0.desc" << 404;
        QTest::newRow("dotfile") << ".htpasswd" << 404;
        QTest::newRow("a directory's file") << "old/hoop-fw-0.9.zip" << 404;
        QTest::newRow("up and out") << "../outside.zip" << 404;
    }
    void servesOnlyFirmware()
    {
        QFETCH(QString, name);
        QFETCH(int, status);
        const QTemporaryDir root;
        const QString dir = root.filePath("fw");
        QVERIFY(QDir().mkpath(dir + "/old") && writeFile(dir + "/hoop-fw-1.0.0.zip", kGood) &&
                writeFile(dir + "/hoop-fw-1.0.0.desc", "Brighter\n"));
        Server writer({dir, "--write-catalogue"});
        QCOMPARE(writer.exitCode(), 0);
        const QByteArray written = readFile(dir + "/updates.xml");
        QVERIFY(written.contains(hex(kGood, QCryptographicHash::Md5).toUtf8()) &&
                written.contains(hex(kGood, QCryptographicHash::Sha256).toUtf8()) &&
                written.contains("desc=\"Brighter\""));
        for (const QString &file : QStringList{"hoop-fw-2.0.0.zip", "old/hoop-fw-0.9.zip"})
            QVERIFY(writeFile(dir + "/" + file, kGood));
        QVERIFY(writeFile(dir + "/updates.xml.minisig", "signature") &&
                writeFile(dir + "/notes.txt", "notes") && writeFile(dir + "/.htpasswd", "x") &&
                writeFile(root.filePath("outside.zip"), kGood));

        Server server({dir, "--port", "0"});
        QVERIFY2(server.started(), server.output.constData());
        const auto [got, body] = server.get(name);
        QCOMPARE(got, status);
        if (status == 200)
            QCOMPARE(body, readFile(dir + "/" + name));
    }

    // An entry whose name the program can't install is left out, with a
    // warning: the program lists only names that end in ".zip", case and all.
    void warnsOfNamesNotZip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("warned");
        QTest::newRow("hex") << "hoop-fw-1.0.0.hex" << true;
        QTest::newRow("upper-case ZIP") << "hoop-fw-1.0.0.ZIP" << true;
        QTest::newRow("zip") << "hoop-fw-1.0.0.zip" << false;
    }
    void warnsOfNamesNotZip()
    {
        QFETCH(QString, name);
        QFETCH(bool, warned);
        const QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(name), kGood) &&
                writeFile(dir.filePath("updates.xml"),
                          catalogue(name, hex(kGood, QCryptographicHash::Md5))));
        Server server({dir.path(), "--port", "0"});
        QVERIFY2(server.started(), server.output.constData());
        QCOMPARE(server.output.contains(("hoop-update-server: warning: " + name +
                                         ": its name does not end in \".zip\", so the program "
                                         "can't install it")
                                            .toUtf8()),
                 warned);
        QCOMPARE(server.get(name).first, warned ? 404 : 200);
    }

    // A change is taken up only once it checks out; until then the last
    // snapshot stays served, whole.
    void takesUpChangesOnceChecked()
    {
        const QTemporaryDir dir;
        const QString image = dir.filePath("hoop-fw-1.0.0.zip");
        QVERIFY(writeFile(image, kGood));
        Server server({dir.path(), "--port", "0"});
        QVERIFY2(server.started(), server.output.constData());
        const QByteArray before = server.get("updates.xml").second;

        ::kill(pid_t(server.process.processId()), SIGHUP);
        QVERIFY2(server.waitFor("Nothing changed: still serving"), server.output.constData());

        QVERIFY(writeFile(image, kBootloaderOnly));
        QVERIFY2(server.waitFor("changes not taken up: still serving the last snapshot"),
                 server.output.constData());
        QVERIFY(server.output.contains("hoop-fw-1.0.0.zip: the program would refuse to flash it"));
        QCOMPARE(server.get("hoop-fw-1.0.0.zip").second, kGood);
        QCOMPARE(server.get("updates.xml").second, before);

        const QByteArray newer = hoopsim::sampleFirmwareHex(QStringLiteral("newer"), 2048);
        QVERIFY(writeFile(image, newer));
        QVERIFY2(server.waitFor("Changes taken up: now serving"), server.output.constData());
        QCOMPARE(server.get("hoop-fw-1.0.0.zip").second, newer);
        QVERIFY(server.get("updates.xml")
                    .second.contains(hex(newer, QCryptographicHash::Md5).toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
