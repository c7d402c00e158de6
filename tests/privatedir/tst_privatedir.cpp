// Where the firmware image waits between its digest check and the flash:
// whatever another user of the machine put in its way is neither written to
// nor read from, and the update still goes through.

#include "devlogcapture.h"
#include "e2eharness.h"
#include "platform/platformpaths.h"
#include "platform/privatedirectory.h"

#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

} // namespace

class TestPrivateDir : public QObject
{
    Q_OBJECT

private slots:
    void keptPrivately_data();
    void keptPrivately();
    void platformTempDirIsPrivate();
};

void TestPrivateDir::keptPrivately_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("dirUsed"); // "usual", "fresh", or "" when the run fails
    QTest::addColumn<QStringList>("logLines");

    // The directory made before the run, with an image in it: its owner and
    // mode. Another user's rows need root (as in CI) and are skipped elsewhere.
    QTest::newRow("made first by another user") << "nobody 0777"
                                                << "fresh" << QStringList{};
    QTest::newRow("another user's, writable by them only") << "nobody 0755"
                                                           << "fresh" << QStringList{};
    QTest::newRow("ours but writable by others") << "ours 0777"
                                                 << "fresh" << QStringList{};
    QTest::newRow("a link in the directory's place") << "dir link"
                                                     << "fresh" << QStringList{};
    QTest::newRow("a link in the image's place") << "image link"
                                                 << "usual" << QStringList{};
    QTest::newRow("no private temporary directory")
        << "no temp"
        << ""
        << QStringList{"FW Destination: (null)", "No private temporary directory to download into"};
    QTest::newRow("firmware missing on the server") << "missing"
                                                    << "" << QStringList{"MD5 found: (null)"};
}

void TestPrivateDir::keptPrivately()
{
    QFETCH(QString, setup);
    QFETCH(QString, dirUsed);
    QFETCH(QStringList, logLines);

    UpdateRig rig;
    const QString name = QStringLiteral("fw");
    const QString usual = rig.path(QStringLiteral("tmp/")) + rig.config.bundleId;
    const QString decoy = rig.path(QStringLiteral("decoy"));
    const QByteArray planted("an image nobody checked");
    if (setup == QStringLiteral("missing"))
        rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("fw.zip", MD5("x"))}));
    else
        rig.publishSample(name);

    const bool madeBefore =
        setup.startsWith(QStringLiteral("nobody ")) || setup.startsWith(QStringLiteral("ours "));
    if (madeBefore) {
        QVERIFY(QDir().mkdir(usual));
        write(usual + QStringLiteral("/fw.hex"), planted);
        const mode_t mode = setup.section(QLatin1Char(' '), 1).toUInt(nullptr, 8);
        QVERIFY(::chmod(QFile::encodeName(usual).constData(), mode) == 0);
        if (setup.startsWith(QStringLiteral("nobody"))) {
            if (::geteuid() != 0)
                QSKIP("only root can give a directory to another user");
            const passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            QVERIFY(::chown(QFile::encodeName(usual).constData(), nobody->pw_uid, nobody->pw_gid) ==
                    0);
        }
    } else if (setup == QStringLiteral("dir link")) {
        QVERIFY(QDir().mkdir(decoy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        write(decoy + QStringLiteral("/fw.hex"), planted);
        QVERIFY(QFile::link(decoy, usual));
    } else if (setup == QStringLiteral("image link")) {
        QVERIFY(QDir().mkdir(usual, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        write(decoy, planted);
        QVERIFY(QFile::link(decoy, usual + QStringLiteral("/fw.hex")));
    } else if (setup == QStringLiteral("no temp")) {
        rig.config.tempDir.clear();
    }

    QVERIFY(rig.launch());
    rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
    DevLogCapture log;
    QVERIFY(rig.updateAndWait());

    for (const QString &line : logLines)
        QVERIFY2(log.contains(line), qPrintable(line));
    if (dirUsed.isEmpty()) {
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::VerificationFailed);
    } else {
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Succeeded);
        const QStringList shown = log.lines().filter(QStringLiteral("FW Destination: "));
        QCOMPARE(shown.size(), 1);
        // The image flashed is the one checked, read from where the log says.
        const QString directory = QFileInfo(shown.first().mid(16)).path();
        QCOMPARE(directory == usual, dirUsed == QStringLiteral("usual"));
        QVERIFY(privateDirectoryProblem(directory).isEmpty());
        QCOMPARE(rig.hoop->flashedHexFile(), hoopsim::sampleFirmwareHex(name, 8 * 1024));
    }

    // What someone else could reach is as they left it.
    const QString plantedAt = madeBefore ? usual + QStringLiteral("/fw.hex")
                              : setup == QStringLiteral("dir link")
                                  ? decoy + QStringLiteral("/fw.hex")
                                  : decoy;
    if (madeBefore || setup.endsWith(QStringLiteral(" link"))) {
        QFile file(plantedAt);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), planted);
    }
}

// The default that the shipped program uses is a directory of the user's own,
// never one shared with other users (such as /tmp).
void TestPrivateDir::platformTempDirIsPrivate()
{
    const QString directory = privateTempDir();
    QVERIFY2(directory.isEmpty() || privateDirectoryProblem(directory).isEmpty(),
             qPrintable(privateDirectoryProblem(directory)));
}

QTEST_MAIN(TestPrivateDir)
#include "tst_privatedir.moc"
