// What a whole update run leaves behind: the temporary directory and the
// mount root are compared before and after every kind of ending, and only the
// firmware file in the download directory and the request on the hoop's
// volume may differ.

#include "e2eharness.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QLoggingCategory>
#include <QTest>

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
};

void TestFootprint::onlyItsPlacesChange_data()
{
    QTest::addColumn<QString>("firmware"); // the name chosen
    QTest::addColumn<int>("fault");        // a hoopsim::Fault, or -1
    QTest::addColumn<bool>("toolMissing");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("changes"); // under "tmp/" and "media/"

    const QString image = QStringLiteral("tmp/org.example.hoop-updater-test/fw.hex");
    const QString request = QStringLiteral("media/HOOP/runnow.cfg");
    const QStringList both{image, request};
    QTest::newRow("success") << "fw" << -1 << false << int(UpdateRunOutcome::Succeeded) << both;
    QTest::newRow("digest does not match")
        << "bad" << -1 << false << int(UpdateRunOutcome::VerificationFailed)
        << QStringList{"tmp/org.example.hoop-updater-test/bad.hex"};
    QTest::newRow("firmware missing on the server")
        << "absent" << -1 << false << int(UpdateRunOutcome::VerificationFailed) << QStringList{};
    QTest::newRow("tool missing") << "fw" << -1 << true << int(UpdateRunOutcome::Aborted)
                                  << QStringList{image};
    QTest::newRow("erase fails") << "fw" << int(hoopsim::Fault::EraseFails) << false
                                 << int(UpdateRunOutcome::EraseFailed) << both;
    QTest::newRow("flash fails") << "fw" << int(hoopsim::Fault::FlashFails) << false
                                 << int(UpdateRunOutcome::FlashFailed) << both;
    QTest::newRow("reset fails") << "fw" << int(hoopsim::Fault::ResetFails) << false
                                 << int(UpdateRunOutcome::ResetFailed) << both;
    QTest::newRow("start fails") << "fw" << int(hoopsim::Fault::StartFails) << false
                                 << int(UpdateRunOutcome::StartFailed) << both;
}

void TestFootprint::onlyItsPlacesChange()
{
    QFETCH(QString, firmware);
    QFETCH(int, fault);
    QFETCH(bool, toolMissing);
    QFETCH(int, outcome);
    QFETCH(QStringList, changes);

    UpdateRig rig;
    const QString good = rig.publishSample(QStringLiteral("fw"));
    rig.publishSample(QStringLiteral("bad"));
    rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("fw.zip", good),
                                             UpdateRig::entry("bad.zip", MD5("other")),
                                             UpdateRig::entry("absent.zip", good)}));
    if (toolMissing)
        QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
    if (fault >= 0)
        rig.hoop->setFault(hoopsim::Fault(fault));

    // Neighbours the run must leave alone: an earlier download of each image,
    // another program's files, another volume, and the hoop's own files. The
    // hoop's volume is a plain directory here, so it is still there afterwards
    // to compare; the simulated bootloader answers once the request appears.
    const QString download = rig.path(QStringLiteral("tmp/org.example.hoop-updater-test/"));
    for (const char *name : {"fw.hex", "bad.hex", "absent.hex", "other.hex"})
        write(download + QLatin1String(name), "an earlier download");
    write(rig.path(QStringLiteral("tmp/other-program/state")), "keep");
    write(rig.path(QStringLiteral("tmp/.hidden")), "keep");
    write(rig.path(QStringLiteral("media/USB STICK/notes.txt")), "keep");
    write(rig.path(QStringLiteral("media/HOOP/hoopinfo.txt")), "Vexlume Hoop\n");
    write(rig.path(QStringLiteral("media/HOOP/patterns/1.bin")), "keep");

    QVERIFY(rig.launch());
    rig.delegate->setSelectedTableItemValue(firmware);
    const QMap<QString, QString> tmpBefore = snapshot(rig.path(QStringLiteral("tmp")));
    const QMap<QString, QString> mediaBefore = snapshot(rig.path(QStringLiteral("media")));

    std::atomic<bool> over{false};
    std::thread bootloader([&] {
        while (!over && !QFileInfo::exists(rig.path(QStringLiteral("media/HOOP/runnow.cfg"))))
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

QTEST_MAIN(TestFootprint)
#include "tst_footprint.moc"
