// What the installation adds to the build's configuration: the settings file
// (who may have written it, what it may say, how it combines with the build's
// values and --server) and where the DFU tool is taken from.

#include "app/systemconfig.h"
#include "update/toollocation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// minisign public keys, as the second line of their .pub files.
const QString keyA = QStringLiteral("RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3");
const QString keyB = QStringLiteral("RWTAPpOcmSRODmB/bqS1hxJtwNCbzrKgJcVSUOpGmUbCx0qyIkqZ2p+x");

constexpr uid_t otherUser = 12345;

bool writeFile(const QString &path, const QByteArray &content, int mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size() && file.flush() &&
           ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

} // namespace

class TestInstallation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The file must belong to root; the test makes files as root and gives
        // some away to show the difference.
        if (::geteuid() != 0)
            QSKIP("needs root to make files owned by root and by someone else");
    }

    void settingsFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("layout"); // what else is arranged; see settingsFile()
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("reason"); // the start of the reason
        QTest::addColumn<QString>("server");
        QTest::addColumn<QStringList>("keys");
        using S = SystemSettings::State;
        const QByteArray both =
            "# The vendor's server\r\n\n  server = https://hoop.example/fw/ \r\n"
            "public-key=" +
            keyA.toLatin1() + "\n#public-key = nothing\npublic-key = " + keyB.toLatin1() +
            "\npublic-key = " + keyA.toLatin1();
        const QStringList none;
        QTest::newRow("server and keys, comments, CRLF, a key twice")
            << both << "" << int(S::Read) << ""
            << "https://hoop.example/fw" << QStringList{keyA, keyB};
        QTest::newRow("missing") << QByteArray() << "missing" << int(S::Absent) << ""
                                 << "" << none;
        // Refused, with the start of the reason; nothing of it is taken.
        const auto ignored = [&none](const char *name, const QByteArray &content,
                                     const char *layout, const char *reason) {
            QTest::newRow(name) << content << QString::fromLatin1(layout) << int(S::Ignored)
                                << QString::fromUtf8(reason) << QString() << none;
        };
        ignored("group-writable", both, "mode 0664", "it is writable by its group (mode 0664)");
        ignored("writable by others", both, "mode 0602", "it is writable by others (mode 0602)");
        ignored("not owned by root", both, "owned by another", "it is not owned by root");
        ignored("directory writable by its group", both, "directory 0775", "its directory ");
        ignored("directory not root's", both, "directory owned by another", "its directory ");
        ignored("a FIFO in its place, nobody writing", QByteArray(), "a fifo",
                "it is not a regular file");
        ignored("a link to a file of another user", both, "link to another's",
                "it is not owned by root");
        const QByteArray line = "server = http://a.example\n";
        QByteArray largest =
            line + QByteArray(systemSettingsMaxBytes - line.size() - 1, '#') + '\n';
        QTest::newRow("64 KiB") << largest << "" << int(S::Read) << ""
                                << "http://a.example" << none;
        ignored("a byte over 64 KiB", largest + '\n', "", "it is larger than 64 KiB");
        ignored("no equals sign", QByteArray("# x\nserver https://a.example\n"), "",
                "line 2: no \"=\"");
        ignored("two servers", QByteArray("server = http://a\nserver = http://b\n"), "",
                "line 2: a second");
        ignored("a setting's name in capitals", QByteArray("Server = http://a.example\n"), "",
                "line 1: \"Server\" is not a setting");
        ignored("a server without http", QByteArray("server = ftp://a.example\n"), "",
                "line 1: server: \"ftp://a.example\" is not an http");
        ignored("a key cut short, then a good one",
                QByteArray("public-key = " + keyA.left(55).toLatin1() +
                           "\npublic-key = " + keyB.toLatin1()),
                "", "line 1: public-key: not a minisign");
        ignored("a NUL byte", QByteArray("server = http://a\0x", 19), "", "it is not a text file");
        ignored("not UTF-8", QByteArray("# caf\xe9\nserver = http://a\n"), "", "it is not UTF-8");
    }
    void settingsFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, layout);
        QFETCH(int, state);
        QFETCH(QString, reason);
        QFETCH(QString, server);
        QFETCH(QStringList, keys);

        QTemporaryDir temp;
        const QString dir = temp.filePath(QStringLiteral("etc"));
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(),
                        layout == QStringLiteral("directory 0775") ? 0775 : 0755) == 0);
        if (layout == QStringLiteral("directory owned by another"))
            QVERIFY(::chown(QFile::encodeName(dir).constData(), otherUser, 0) == 0);
        const QString path = dir + QStringLiteral("/hoop-updater.conf");
        const QByteArray name = QFile::encodeName(path);
        if (layout == QStringLiteral("a fifo")) {
            QVERIFY(::mkfifo(name.constData(), 0644) == 0);
        } else if (layout == QStringLiteral("link to another's")) {
            const QString target = temp.filePath(QStringLiteral("users.conf"));
            QVERIFY(writeFile(target, content, 0644));
            QVERIFY(::chown(QFile::encodeName(target).constData(), otherUser, 0) == 0);
            QVERIFY(QFile::link(target, path));
        } else if (layout != QStringLiteral("missing")) {
            const int mode =
                layout.startsWith(QStringLiteral("mode ")) ? layout.mid(5).toInt(nullptr, 8) : 0644;
            QVERIFY(writeFile(path, content, mode));
            if (layout == QStringLiteral("owned by another")) {
                QVERIFY(::chown(name.constData(), otherUser, 0) == 0);
                struct stat info
                {};
                QVERIFY(::stat(name.constData(), &info) == 0 && info.st_uid == otherUser);
            }
        }

        const SystemSettings settings = readSystemSettings(path);
        QVERIFY2(reason.isEmpty() ? settings.reason.isEmpty() : settings.reason.startsWith(reason),
                 qPrintable(settings.reason));
        QCOMPARE(int(settings.state), state);
        QCOMPARE(settings.serverUrl, server);
        QCOMPARE(settings.publicKeys, keys);
    }

    // What the program then works with: file keys add to the build's, the
    // file's address replaces the build's, --server replaces both but never
    // the keys; an ignored file leaves the build's values and is reported.
    void combined_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("option"); // --server
        QTest::addColumn<QStringList>("summary");
        QTest::addColumn<QString>("warning");
        const QByteArray file = "server = https://mirror.example\npublic-key = " + keyA.toLatin1() +
                                "\npublic-key = " + keyB.toLatin1() + "\n";
        QTest::newRow("the build's values alone")
            << QByteArray() << 0644 << ""
            << QStringList{"Update server: http://built.example (built in)",
                           "Firmware list signature: required, 1 key (1 built in, 0 from the "
                           "settings file)",
                           "Settings file: %file, not present"}
            << "";
        QTest::newRow("the file's server and a key more")
            << file << 0644 << ""
            << QStringList{"Update server: https://mirror.example (%file)",
                           "Firmware list signature: required, 2 keys (1 built in, 1 from the "
                           "settings file)",
                           "Settings file: %file, read"}
            << "";
        QTest::newRow("--server over the file's, keys kept")
            << file << 0644 << "http://127.0.0.1:8080"
            << QStringList{"Update server: http://127.0.0.1:8080 (--server)",
                           "Firmware list signature: required, 2 keys (1 built in, 1 from the "
                           "settings file)",
                           "Settings file: %file, read"}
            << "";
        QTest::newRow("group-writable: nothing of it, and why")
            << file << 0620 << ""
            << QStringList{"Update server: http://built.example (built in)",
                           "Firmware list signature: required, 1 key (1 built in, 0 from the "
                           "settings file)",
                           "Settings file: %file, ignored: it is writable by its group (mode 0620)"}
            << "Ignoring %file: it is writable by its group (mode 0620). The built-in update "
               "server and keys are used.";
    }
    void combined()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(QString, option);
        QFETCH(QStringList, summary);
        QFETCH(QString, warning);
        QTemporaryDir temp;
        Configuration configuration;
        configuration.updateServerUrl = QStringLiteral("http://built.example");
        configuration.catalogueTrust.publicKeys = {keyA};
        configuration.systemSettingsFile = temp.filePath(QStringLiteral("hoop-updater.conf"));
        if (!content.isNull())
            QVERIFY(writeFile(configuration.systemSettingsFile, content, mode));
        QCOMPARE(
            applySystemSettings(configuration, option),
            QString(warning).replace(QStringLiteral("%file"), configuration.systemSettingsFile));
        QCOMPARE(
            configurationSummary(configuration),
            summary.replaceInStrings(QStringLiteral("%file"), configuration.systemSettingsFile));
    }

    void serverAddress_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("base"); // null: refused
        QTest::newRow("trailing slashes") << "http://127.0.0.1:8080//"
                                          << "http://127.0.0.1:8080";
        QTest::newRow("no host") << "http://" << QString();
        QTest::newRow("a query") << "http://a.example/?x=1" << QString();
        QTest::newRow("a user") << "http://me@a.example" << QString();
        QTest::newRow("empty") << "" << QString();
    }
    void serverAddress()
    {
        QFETCH(QString, text);
        QFETCH(QString, base);
        QString problem;
        QCOMPARE(serverBaseUrl(text, &problem), base);
        QCOMPARE(problem.isEmpty(), !base.isNull());
    }

    // The program's own copy first, whatever it is; then the first system
    // directory with an executable one.
    void dfuTool_data()
    {
        QTest::addColumn<QStringList>("files"); // made executable unless ending in "-"
        QTest::addColumn<QString>("found");     // relative to the test's directory; "" none
        QTest::addColumn<bool>("bundled");
        QTest::newRow("system only")
            << QStringList{"usr/bin/dfu-programmer"} << "usr/bin/dfu-programmer" << false;
        QTest::newRow("both: the bundled one")
            << QStringList{"usr/bin/dfu-programmer", "res/dfu-programmer"} << "res/dfu-programmer"
            << true;
        QTest::newRow("a broken bundled one is still the one")
            << QStringList{"usr/bin/dfu-programmer", "res/dfu-programmer-"} << "res/dfu-programmer"
            << true;
        QTest::newRow("not executable in the first system directory")
            << QStringList{"bin/dfu-programmer-", "usr/bin/dfu-programmer"}
            << "usr/bin/dfu-programmer" << false;
        QTest::newRow("neither") << QStringList{} << "" << false;
    }
    void dfuTool()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, found);
        QFETCH(bool, bundled);
        QTemporaryDir temp;
        const QDir root(temp.path());
        for (const char *dir : {"res", "bin", "usr/bin"})
            QVERIFY(root.mkpath(QLatin1String(dir)));
        for (QString file : files) {
            const bool executable = !file.endsWith(u'-');
            if (!executable)
                file.chop(1);
            QVERIFY(root.mkpath(QFileInfo(root.filePath(file)).path()));
            QVERIFY(writeFile(root.filePath(file), "#!/bin/sh\n", executable ? 0755 : 0644));
        }
        const QString resources = root.filePath(QStringLiteral("res"));
        const QString tool =
            findDfuTool(resources, {QString(), root.filePath("bin"), root.filePath("usr/bin")});
        QCOMPARE(tool, found.isEmpty() ? QString() : root.filePath(found));
        QCOMPARE(isBundledDfuTool(tool, resources), bundled);
        // Without system directories, only the program's own copy counts.
        QCOMPARE(findDfuTool(resources, {}).isEmpty(), !bundled);
    }
};

QTEST_GUILESS_MAIN(TestInstallation)
#include "tst_installation.moc"
