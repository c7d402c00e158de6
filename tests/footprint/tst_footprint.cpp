// What a whole update run leaves behind: only the firmware file in the
// download directory and the request on the hoop's volume may change under the
// temporary directory and the mount root, whatever the ending. Also how the
// window closes in the states where no run is blocked.

#include "e2eharness.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLoggingCategory>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

// Every entry under the rig's root, hidden ones included, links not followed.
QMap<QString, QByteArray> snapshot(const UpdateRig &rig)
{
    QMap<QString, QByteArray> entries;
    const QDir root(rig.path(QString()));
    for (const char *top : {"tmp", "media"}) {
        QDirIterator it(rig.path(QLatin1String(top)),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            QFile file(info.filePath());
            entries[root.relativeFilePath(info.filePath())] =
                QByteArray::number(int(info.permissions())) + info.symLinkTarget().toUtf8() +
                (info.isFile() && !info.isSymLink() && file.open(QIODevice::ReadOnly)
                     ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5)
                     : QByteArray(info.isDir() ? "dir" : "other"));
        }
    }
    return entries;
}

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

const QString kDownload = QStringLiteral("tmp/org.example.hoop-updater-test");
// Blanks and a letter outside ASCII, as a volume label may have; a plain
// directory of the test's own, so that it is still there after the request.
const QString kVolume = QStringLiteral("media/Hoop Ω 2");

// Three published images, and a catalogue that also lists one without a digest
// and one that is not on the server.
void prepare(UpdateRig &rig)
{
    const QString good = rig.publishSample(QStringLiteral("fw"));
    rig.publishSample(QStringLiteral("nodigest"));
    rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("fw.zip", good),
                                             UpdateRig::entry("absent.zip", good),
                                             "<FIRMWARE filename=\"nodigest.zip\"/>"}));
    write(rig.path(kVolume + "/hoopinfo.txt"), "Vexlume Hoop\n");
}

} // namespace

class TestFootprint : public QObject
{
    Q_OBJECT

private slots:
    // Each run writes the catalogue and the tool's output to the developer log.
    void initTestCase() { QLoggingCategory::setFilterRules("hoop.updater.info=false"); }

    void onlyItsPlacesChange_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<QString>("setup"); // what else is wrong, if anything
        QTest::addColumn<int>("fault");     // a hoopsim::Fault, or -1
        QTest::addColumn<UpdateRunOutcome>("outcome");
        QTest::addColumn<QStringList>("changes");

        const QString image = kDownload + QStringLiteral("/fw.hex");
        const QStringList both{kVolume + QStringLiteral("/runnow.cfg"), image};
        const auto failed = UpdateRunOutcome::VerificationFailed;
        QTest::newRow("success") << "fw"
                                 << "" << -1 << UpdateRunOutcome::Succeeded << both;
        QTest::newRow("entry without a digest")
            << "nodigest"
            << "" << -1 << failed << QStringList{kDownload + "/nodigest.hex"};
        QTest::newRow("firmware missing on the server") << "absent"
                                                        << "" << -1 << failed << QStringList{};
        // Unwritable even for root, which permission bits do not stop.
        QTest::newRow("download directory cannot be made")
            << "fw"
            << "download directory is a file" << -1 << failed << QStringList{};
        QTest::newRow("tool missing")
            << "fw"
            << "no tool" << -1 << UpdateRunOutcome::Aborted << QStringList{image};
        // Nor can a file be listed: no volume is found and nothing is created
        // there, and a hoop already in its bootloader is still updated.
        QTest::newRow("mount root is a file")
            << "fw"
            << "mount root is a file" << int(hoopsim::Fault::AlreadyInBootloader)
            << UpdateRunOutcome::Succeeded << QStringList{image};
        QTest::newRow("flash fails")
            << "fw"
            << "" << int(hoopsim::Fault::FlashFails) << UpdateRunOutcome::FlashFailed << both;
    }
    void onlyItsPlacesChange()
    {
        QFETCH(QString, firmware);
        QFETCH(QString, setup);
        QFETCH(int, fault);
        QFETCH(UpdateRunOutcome, outcome);
        QFETCH(QStringList, changes);

        UpdateRig rig;
        prepare(rig);
        if (setup == QStringLiteral("no tool"))
            QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
        if (setup == QStringLiteral("mount root is a file")) {
            rig.config.mountRoots = {rig.path(QStringLiteral("media/not-a-directory"))};
            write(rig.config.mountRoots.first(), "a file");
        }
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        // Neighbours the run must leave alone: an earlier download of each image,
        // another program's files, another volume and the hoop's own files.
        if (setup == QStringLiteral("download directory is a file")) {
            // A file in the bundle directory's place would only be stepped around.
            rig.config.tempDir = rig.path(kDownload);
            write(rig.path(kDownload), "not a directory");
        } else {
            for (const char *name : {"fw.hex", "nodigest.hex", "absent.hex", "other.hex"})
                write(rig.path(kDownload + "/" + QLatin1String(name)), "an earlier download");
        }
        write(rig.path(QStringLiteral("tmp/other-program/.state")), "keep");
        write(rig.path(QStringLiteral("media/USB STICK/notes.txt")), "keep");
        write(rig.path(kVolume + QStringLiteral("/patterns/1.bin")), "keep");

        QVERIFY(rig.launch());
        rig.delegate->setSelectedTableItemValue(firmware);
        const QMap<QString, QByteArray> before = snapshot(rig);
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
        QCOMPARE(rig.delegate->lastRunOutcome(), outcome);

        const QMap<QString, QByteArray> after = snapshot(rig);
        QStringList found;
        for (const QString &path : QSet<QString>(before.keyBegin(), before.keyEnd()) +
                                       QSet<QString>(after.keyBegin(), after.keyEnd())) {
            if (before.value(path) != after.value(path))
                found << path;
        }
        found.sort();
        QCOMPARE(found, changes);
    }

    void closingTheWindow_data()
    {
        QTest::addColumn<bool>("halted");
        QTest::newRow("ready, nothing started") << false;
        QTest::newRow("halted by a failed request") << true;
    }
    void closingTheWindow()
    {
        QFETCH(bool, halted);
        UpdateRig rig;
        prepare(rig);
        // A directory where the request belongs makes writing it fail.
        if (halted)
            QVERIFY(QDir().mkpath(rig.path(kVolume + QStringLiteral("/runnow.cfg"))));
        QVERIFY(rig.launch());
        if (halted) {
            rig.delegate->setSelectedTableItemValue(QStringLiteral("fw"));
            QVERIFY(rig.updateAndWait());
            QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Halted);
        }
        QApplication::setQuitOnLastWindowClosed(
            rig.delegate->applicationShouldTerminateAfterLastWindowClosed());
        // File > Quit closes the window; a window left open ends the loop as a failure.
        QTimer::singleShot(0, rig.window.get(), [&rig] {
            rig.window->findChild<QAction *>(QStringLiteral("actionQuit"))->trigger();
            if (rig.window->isVisible())
                QApplication::exit(1);
        });
        QCOMPARE(QApplication::exec(), 0);
    }
};

QTEST_MAIN(TestFootprint)
#include "tst_footprint.moc"
