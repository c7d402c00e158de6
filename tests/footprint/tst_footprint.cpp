// What a whole update run leaves behind: the temporary directory and the
// mount root are compared before and after every kind of ending, and only the
// firmware file in the download directory and the request on the hoop's
// volume may differ. Also how the window closes in the states where no run
// is blocked.

#include "e2eharness.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLoggingCategory>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

// Every entry under root, hidden ones included, links not followed: its
// relative path and what it is, its permissions and, for files, a digest.
QMap<QString, QString> snapshot(const QString &root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QString what = QString::number(int(info.permissions()), 16);
        if (info.isSymLink()) {
            what += QStringLiteral(" link ") + info.symLinkTarget();
        } else if (info.isDir()) {
            what += QStringLiteral(" dir");
        } else {
            QFile file(info.filePath());
            what += QStringLiteral(" file ") +
                    (file.open(QIODevice::ReadOnly)
                         ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex()
                         : QByteArray("unreadable"));
        }
        entries.insert(QDir(root).relativeFilePath(info.filePath()), what);
    }
    return entries;
}

QStringList changed(const QMap<QString, QString> &before, const QMap<QString, QString> &after)
{
    QSet<QString> paths;
    for (const QString &path : before.keys() + after.keys())
        paths.insert(path);
    QStringList differing;
    for (const QString &path : paths) {
        if (before.value(path) != after.value(path))
            differing << path;
    }
    differing.sort();
    return differing;
}

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

const QString kDownload = QStringLiteral("tmp/org.example.hoop-updater-test");
// Blanks and a letter outside ASCII, as a volume label may have.
const QString kVolume = QStringLiteral("media/Hoop Ω 2");

// A rig with three published images, a catalogue that also lists one without
// a digest and one that is not on the server, and the hoop's volume as a plain
// directory of the test's own, so that it is still there after the request.
void prepare(UpdateRig &rig)
{
    const QString good = rig.publishSample(QStringLiteral("fw"));
    rig.publishSample(QStringLiteral("bad"));
    rig.publishSample(QStringLiteral("nodigest"));
    rig.writeCatalogue(UpdateRig::catalogue(
        {UpdateRig::entry("fw.zip", good), UpdateRig::entry("bad.zip", MD5("other")),
         UpdateRig::entry("absent.zip", good), "<FIRMWARE filename=\"nodigest.zip\"/>"}));
    write(rig.path(kVolume + "/hoopinfo.txt"), "Vexlume Hoop\n");
}

} // namespace

class TestFootprint : public QObject
{
    Q_OBJECT

private slots:
    // Each run writes the catalogue and the tool's output to the developer log.
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater.info=false"));
    }
    void onlyItsPlacesChange_data();
    void onlyItsPlacesChange();
    void unlistableMountRoot();
    void closingTheWindow_data();
    void closingTheWindow();
};

void TestFootprint::onlyItsPlacesChange_data()
{
    QTest::addColumn<QString>("firmware"); // the name chosen
    QTest::addColumn<QString>("setup");    // "", "no tool" or "download directory is a file"
    QTest::addColumn<int>("fault");        // a hoopsim::Fault, or -1
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("changes"); // under "tmp/" and "media/"

    const QString image = kDownload + QStringLiteral("/fw.hex");
    const QString request = kVolume + QStringLiteral("/runnow.cfg");
    const QStringList both{image, request};
    const int failed = int(UpdateRunOutcome::VerificationFailed);
    QTest::newRow("success") << "fw"
                             << "" << -1 << int(UpdateRunOutcome::Succeeded) << both;
    QTest::newRow("digest does not match")
        << "bad"
        << "" << -1 << failed << QStringList{kDownload + "/bad.hex"};
    QTest::newRow("entry without a digest")
        << "nodigest"
        << "" << -1 << failed << QStringList{kDownload + "/nodigest.hex"};
    QTest::newRow("firmware missing on the server") << "absent"
                                                    << "" << -1 << failed << QStringList{};
    QTest::newRow("download directory cannot be made")
        << "fw"
        << "download directory is a file" << -1 << failed << QStringList{};
    QTest::newRow("tool missing") << "fw"
                                  << "no tool" << -1 << int(UpdateRunOutcome::Aborted)
                                  << QStringList{image};
    QTest::newRow("erase fails") << "fw"
                                 << "" << int(hoopsim::Fault::EraseFails)
                                 << int(UpdateRunOutcome::EraseFailed) << both;
    QTest::newRow("flash fails") << "fw"
                                 << "" << int(hoopsim::Fault::FlashFails)
                                 << int(UpdateRunOutcome::FlashFailed) << both;
    QTest::newRow("reset fails") << "fw"
                                 << "" << int(hoopsim::Fault::ResetFails)
                                 << int(UpdateRunOutcome::ResetFailed) << both;
    QTest::newRow("start fails") << "fw"
                                 << "" << int(hoopsim::Fault::StartFails)
                                 << int(UpdateRunOutcome::StartFailed) << both;
}

void TestFootprint::onlyItsPlacesChange()
{
    QFETCH(QString, firmware);
    QFETCH(QString, setup);
    QFETCH(int, fault);
    QFETCH(int, outcome);
    QFETCH(QStringList, changes);

    UpdateRig rig;
    prepare(rig);
    if (setup == QStringLiteral("no tool"))
        QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
    if (fault >= 0)
        rig.hoop->setFault(hoopsim::Fault(fault));

    // Neighbours the run must leave alone: an earlier download of each image,
    // another program's files, another volume and the hoop's own files.
    if (setup == QStringLiteral("download directory is a file")) {
        // Unwritable even for root, which permission bits do not stop; a file
        // in the download directory's own place would only be stepped around.
        rig.config.tempDir = rig.path(kDownload);
        write(rig.path(kDownload), "not a directory");
    } else {
        for (const char *name : {"fw.hex", "bad.hex", "nodigest.hex", "absent.hex", "other.hex"})
            write(rig.path(kDownload + "/" + QLatin1String(name)), "an earlier download");
    }
    write(rig.path(QStringLiteral("tmp/other-program/state")), "keep");
    write(rig.path(QStringLiteral("tmp/.hidden")), "keep");
    write(rig.path(QStringLiteral("media/USB STICK/notes.txt")), "keep");
    write(rig.path(kVolume + QStringLiteral("/patterns/1.bin")), "keep");

    QVERIFY(rig.launch());
    rig.delegate->setSelectedTableItemValue(firmware);
    const QMap<QString, QString> tmpBefore = snapshot(rig.path(QStringLiteral("tmp")));
    const QMap<QString, QString> mediaBefore = snapshot(rig.path(QStringLiteral("media")));

    // The simulated bootloader answers once the request is on the volume.
    std::atomic<bool> over{false};
    std::thread bootloader([&] {
        while (!over && !QFileInfo::exists(rig.path(kVolume + QStringLiteral("/runnow.cfg"))))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!over)
            rig.hoop->enterBootloader();
    });
    const bool ended = rig.updateAndWait();
    over = true;
    bootloader.join();
    QVERIFY(ended);
    QCOMPARE(int(rig.delegate->lastRunOutcome()), outcome);

    QStringList found;
    for (const QString &path : changed(tmpBefore, snapshot(rig.path(QStringLiteral("tmp")))))
        found << QStringLiteral("tmp/") + path;
    for (const QString &path : changed(mediaBefore, snapshot(rig.path(QStringLiteral("media")))))
        found << QStringLiteral("media/") + path;
    QCOMPARE(found, changes);
}

// A mount root that cannot be listed (a file: unlike permission bits, that
// stops root too) finds no volume, creates nothing, and a hoop already in its
// bootloader is still updated.
void TestFootprint::unlistableMountRoot()
{
    UpdateRig rig;
    prepare(rig);
    rig.config.mountRoots = {rig.path(QStringLiteral("media/not-a-directory"))};
    write(rig.config.mountRoots.first(), "a file");
    QVERIFY(rig.launch());
    rig.delegate->setSelectedTableItemValue(QStringLiteral("fw"));
    rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
    const QMap<QString, QString> mediaBefore = snapshot(rig.path(QStringLiteral("media")));
    QVERIFY(rig.updateAndWait());
    QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Succeeded);
    QCOMPARE(changed(mediaBefore, snapshot(rig.path(QStringLiteral("media")))), QStringList());
}

// The window states in which no run is blocked; the ones with a run inside a
// tool or waiting for the hoop are closed in a process of their own by the
// update run's test.
void TestFootprint::closingTheWindow_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("ready, nothing started") << "ready";
    QTest::newRow("after a failed update check") << "check failed";
    QTest::newRow("halted by a failed request") << "halted";
}

void TestFootprint::closingTheWindow()
{
    QFETCH(QString, state);
    UpdateRig rig;
    prepare(rig);
    if (state == QStringLiteral("check failed"))
        rig.writeCatalogue(QStringLiteral("<html><body>502 Bad Gateway</body></html>"));
    // A directory where the request belongs makes writing it fail.
    if (state == QStringLiteral("halted"))
        QVERIFY(QDir().mkpath(rig.path(kVolume + QStringLiteral("/runnow.cfg"))));
    QCOMPARE(rig.launch(), state != QStringLiteral("check failed"));
    if (state == QStringLiteral("halted")) {
        rig.delegate->setSelectedTableItemValue(QStringLiteral("fw"));
        QVERIFY(rig.updateAndWait());
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Halted);
    }

    QApplication::setQuitOnLastWindowClosed(
        rig.delegate->applicationShouldTerminateAfterLastWindowClosed());
    QTimer::singleShot(0, rig.window.get(), &QWidget::close);
    // A loop that did not end would hang here, until the test's time limit.
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(TestFootprint)
#include "tst_footprint.moc"
