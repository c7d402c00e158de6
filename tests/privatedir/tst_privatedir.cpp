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
    // Another user's directory needs root (as in CI); that row is skipped elsewhere.
    QTest::newRow("another user's, writable by them only") << "nobody 0755";
    QTest::newRow("ours but writable by others") << "ours 0777";
    QTest::newRow("a link in the directory's place") << "dir link";
    QTest::newRow("a link in the image's place") << "image link";
    QTest::newRow("no private temporary directory") << "no temp";
}

void TestPrivateDir::keptPrivately()
{
    QFETCH(QString, setup);
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    const QString usual = rig.path(QStringLiteral("tmp/")) + rig.config.bundleId;
    const QString decoy = rig.path(QStringLiteral("decoy"));
    const QByteArray dir = QFile::encodeName(usual);
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (setup == "no temp")
        rig.config.tempDir.clear();
    else if (setup == "dir link")
        QVERIFY(QDir().mkdir(decoy) && QFile::link(decoy, usual));
    else if (setup == "image link")
        QVERIFY(QDir().mkdir(usual, ownerOnly) && QFile::link(decoy, usual + "/fw.hex"));
    else
        QVERIFY(QDir().mkdir(usual) &&
                ::chmod(dir.constData(), setup.right(4).toUInt(nullptr, 8)) == 0);
    if (setup.startsWith("nobody")) {
        if (::geteuid() != 0)
            QSKIP("only root can give a directory to another user");
        const passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody && ::chown(dir.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    }
    // An image someone else could reach, to be left as it is.
    QFile planted(setup == "dir link"     ? decoy + "/fw.hex"
                  : setup == "image link" ? decoy
                                          : usual + "/fw.hex");
    const QByteArray plantedBytes("an image nobody checked");
    if (setup != "no temp") {
        QVERIFY(planted.open(QIODevice::WriteOnly) && planted.write(plantedBytes) > 0);
        planted.close();
    }

    QVERIFY(rig.launch());
    rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
    DevLogCapture log;
    QVERIFY(rig.updateAndWait());
    if (setup == "no temp") {
        QVERIFY(log.contains("No private temporary directory to download into"));
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::VerificationFailed);
        return;
    }
    // The image checked is the one flashed, kept where we usually keep it only when that is safe.
    QCOMPARE(rig.hoop->flashedHexFile(),
             hoopsim::sampleFirmwareHex(QStringLiteral("fw"), 8 * 1024));
    QCOMPARE(log.contains("FW Destination: " + usual + "/fw.hex"), setup == "image link");
    QVERIFY(planted.open(QIODevice::ReadOnly));
    QCOMPARE(planted.readAll(), plantedBytes);
}

// The shipped program's default is the user's own directory, never a shared one like /tmp.
void TestPrivateDir::platformTempDirIsPrivate()
{
    const QString directory = privateTempDir();
    QVERIFY2(directory.isEmpty() || privateDirectoryProblem(directory).isEmpty(),
             qPrintable(privateDirectoryProblem(directory)));
}

QTEST_MAIN(TestPrivateDir)
#include "tst_privatedir.moc"
