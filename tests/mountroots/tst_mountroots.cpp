// The hoop's volume is looked for under several mount roots, each looked at
// afresh on every search: a root may first appear when its first volume is
// mounted, after the update has started.

#include "e2eharness.h"
#include "platform/platformpaths.h"
#include "update/hoopvolume.h"

#include <QTest>

#include <pwd.h>
#include <unistd.h>

class TestMountRoots : public QObject
{
    Q_OBJECT

private slots:
    void search();
    void volumeUnderARootMadeAfterTheStart();
    void defaultRoots();
};

// The first root holds no hoop, the second and third one each: the second wins.
void TestMountRoots::search()
{
    QTemporaryDir dir;
    for (const char *marker :
         {"first/USB/notes.txt", "second/B/hoopinfo.txt", "third/A/hoopinfo.txt"}) {
        QFile file(dir.filePath(marker));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(findHoopVolume({dir.filePath("first"), dir.filePath("second"), dir.filePath("third")}),
             (HoopVolume{dir.filePath("second"), "B"}));
}

// Neither root exists at the start; the second appears with the hoop's volume.
void TestMountRoots::volumeUnderARootMadeAfterTheStart()
{
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    QVERIFY(QDir(rig.path(QStringLiteral("media"))).removeRecursively());
    rig.config.mountRoots = {rig.path(QStringLiteral("run-media")),
                             rig.path(QStringLiteral("media"))};
    QVERIFY(rig.launch());
    rig.hoop->plugInAfter(300);
    QVERIFY(rig.updateAndWait());
    QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Succeeded);
    QVERIFY(!QFileInfo::exists(rig.path(QStringLiteral("run-media"))));
}

void TestMountRoots::defaultRoots()
{
#ifdef Q_OS_MACOS
    QCOMPARE(defaultMountRoots(), QStringList{"/Volumes"});
#else
    // The user is the one running the program, whatever the environment says.
    qputenv("USER", "someone-else");
    qputenv("LOGNAME", "someone-else");
    const QString user = QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name);
    QCOMPARE(defaultMountRoots(), (QStringList{"/run/media/" + user, "/media/" + user}));
#endif
}

QTEST_MAIN(TestMountRoots)
#include "tst_mountroots.moc"
