// The hoop's volume is looked for under several mount roots, each looked at
// afresh on every search: a root may first appear when its first volume is
// mounted, after the update has started.

#include "e2eharness.h"
#include "platform/platformpaths.h"
#include "update/hoopvolume.h"

#include <QTest>

class TestMountRoots : public QObject
{
    Q_OBJECT

private slots:
    void search_data();
    void search();
    void volumeUnderARootMadeAfterTheStart();
    void defaultRoots();
};

void TestMountRoots::search_data()
{
    QTest::addColumn<QStringList>("markers"); // marker files, relative to the roots' parent
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("label");

    QTest::newRow("first root without a hoop")
        << QStringList{"first/USB/notes.txt", "second/HOOP/hoopinfo.txt"} << "second"
        << "HOOP";
    QTest::newRow("hoops under both: the first root wins")
        << QStringList{"second/B/hoopinfo.txt", "first/A/hoopinfo.txt"} << "first"
        << "A";
}

void TestMountRoots::search()
{
    QFETCH(QStringList, markers);
    QFETCH(QString, root);
    QFETCH(QString, label);

    QTemporaryDir dir;
    for (const QString &marker : markers) {
        QVERIFY(QDir().mkpath(QFileInfo(dir.filePath(marker)).path()));
        QFile file(dir.filePath(marker));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const std::optional<HoopVolume> found = findHoopVolume(
        {dir.filePath(QStringLiteral("first")), dir.filePath(QStringLiteral("second"))});
    QCOMPARE(found, (HoopVolume{dir.filePath(root), label}));
}

// Neither root exists when the run starts; the second appears with the hoop's
// volume, and the request is written there.
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
    QCOMPARE(rig.hoop->requestCount(), 1);
    QCOMPARE(rig.hoop->lastRequest(), QByteArray("bootloader"));
    QVERIFY(!QFileInfo::exists(rig.path(QStringLiteral("run-media"))));
}

// The real roots cannot be made on a test machine; only their shape is checked.
void TestMountRoots::defaultRoots()
{
#ifdef Q_OS_MACOS
    QCOMPARE(defaultMountRoots(), QStringList{"/Volumes"});
#else
    // The user is the one running the program, whatever the environment says.
    qputenv("USER", "someone-else");
    qputenv("LOGNAME", "someone-else");
    const QStringList roots = defaultMountRoots();
    QCOMPARE(roots.size(), 2);
    const QString user = roots.at(1).section(QLatin1Char('/'), 2);
    QVERIFY(!user.isEmpty() && !user.contains(QLatin1Char('/')));
    QVERIFY(user != QStringLiteral("someone-else"));
    QCOMPARE(roots, (QStringList{"/run/media/" + user, "/media/" + user}));
#endif
}

QTEST_MAIN(TestMountRoots)
#include "tst_mountroots.moc"
