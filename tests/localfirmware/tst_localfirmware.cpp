// The image check every firmware goes through, with each reason it refuses an
// image; firmware files from disk; and whole updates from a chosen file
// through the real controller and the simulated hoop.

#include "devlogcapture.h"
#include "e2eharness.h"
#include "update/intelhex.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QTest>

namespace {

const QByteArray endRecord = ":00000001FF\n";

QByteArray image(quint32 address, int size, char fill = 0x5a)
{
    return QByteArray::fromStdString(
        writeIntelHex(address, std::vector<std::uint8_t>(std::size_t(size), std::uint8_t(fill))));
}

QString chosenLine(const QString &path, int bytes)
{
    return "Firmware file chosen: " + path + " (" + QString::number(bytes) +
           " bytes of firmware)\n";
}

} // namespace

class TestLocalFirmware : public QObject
{
    Q_OBJECT

private slots:
    void imageCheck_data();
    void imageCheck();
    void choosing_data();
    void choosing();
    void updateFromFile_data();
    void updateFromFile();
};

void TestLocalFirmware::imageCheck_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("problem"); // empty: the image can be used
    QTest::addColumn<qint64>("applicationBytes");
    QTest::addColumn<qint64>("bootloaderBytes");
    QTest::addColumn<QStringList>("logged");
    const auto row = [](const char *name, const QByteArray &content, const QString &problem,
                        qint64 application = 0, qint64 bootloader = 0,
                        const QString &logged = QString()) {
        QTest::newRow(name) << content << problem << application << bootloader
                            << (logged.isEmpty() ? QStringList() : QStringList{logged});
    };
    // The reader's reasons, each with the line it stopped at.
    const auto notHex = [&](const char *name, const QByteArray &text, int line, const char *why) {
        row(name, text, QStringLiteral("not Intel HEX, line %1: %2").arg(line).arg(why));
    };
    notHex("not HEX", "hello\n", 1, "record does not start with ':'");
    notHex("checksum", ":0400000001020304F1\n" + endRecord, 1, "checksum mismatch");
    notHex("byte count", ":0500000001020304F1\n" + endRecord, 1,
           "byte count does not match the record length");
    notHex("odd digits", ":0400000001020304F\n" + endRecord, 1, "odd number of hex digits");
    notHex("not a hex digit", ":04000000010203G4F2\n" + endRecord, 1, "invalid hex digit");
    notHex("record type 06", ":00000006FA\n" + endRecord, 1, "unknown record type 0x06");
    notHex("linear address too long", ":0300000480000079\n" + endRecord, 1,
           "extended linear address record of wrong length");
    notHex("data after the end", endRecord + ":0400000001020304F2\n", 2,
           "data after the end-of-file record");
    row("no end record", image(0x80002000u, 16).chopped(endRecord.size()),
        "not Intel HEX: missing end-of-file record");
    row("no data", endRecord, "it holds no firmware data");

    const auto left = [](int bytes, const char *area) {
        return QStringLiteral("The image holds %1 bytes for the bootloader's area (%2), which the "
                              "tool leaves out")
            .arg(bytes)
            .arg(area);
    };
    row("whole chip", image(0x80000000u, 0x40000), "", 0x3e000, 0x2000,
        left(0x2000, "0x80000000 to 0x80001FFF"));
    row("from 0, across the bootloader's end", image(0x1ff0u, 32), "", 16, 16,
        left(16, "0x00000000 to 0x00001FFF"));
    row("from 0, last bytes", image(0x3fff0u, 16) + "\r\n", "", 16);
    row("segment addresses, start record",
        ":020000020200FA\n:0300000078797A92\n:04000003616263646F\n" + endRecord, "", 3);
    row("bootloader's area only", image(0x80000000u, 0x2000),
        "it holds no data for the application area (0x80002000 to 0x8003FFFF)", 0, 0x2000);
    row("past the flash", image(0x8003ffffu, 2),
        "data at 0x80040000 lies past the end of the hoop's flash", 1);
    row("past 4 GiB",
        ":02000004FFFFFC\n:11FFF0000101010101010101010101010101010101EF\n" + endRecord,
        "data at 0xFFFFFFF0 lies past the end of the hoop's flash");
    // The flash's numbering first: the lowest address decides, not the first one.
    row("both numberings mixed", image(0x80002000u, 16).replace(endRecord, "") + image(0x3ff0u, 16),
        "it mixes data counted from 0 (at 0x00003FF0) with data counted from the flash's "
        "address (at 0x80002000)",
        16);
}

void TestLocalFirmware::imageCheck()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    QFETCH(qint64, applicationBytes);
    QFETCH(qint64, bootloaderBytes);
    QFETCH(QStringList, logged);
    DevLogCapture log;
    const FirmwareImageCheck check = checkFirmwareImage(content);
    QCOMPARE(check.problem, problem.isEmpty() ? QString() : problem);
    QCOMPARE(check.applicationBytes, applicationBytes);
    QCOMPARE(check.bootloaderBytes, bootloaderBytes);
    QCOMPARE(log.lines(), logged);
}

void TestLocalFirmware::choosing_data()
{
    QTest::addColumn<QByteArray>("content"); // or "(missing)", "(directory)"
    QTest::addColumn<QString>("refusal");    // empty: the file is taken
    QTest::addColumn<int>("dataBytes");
    const auto row = [](const char *name, const QByteArray &content, const QString &refusal,
                        int dataBytes = 0) {
        QTest::newRow(name) << content << refusal << dataBytes;
    };
    const QByteArray good = image(0x80002000u, 64);
    const QByteArray pad(1024 * 1024 - good.size(), '\n');
    row("missing", "(missing)", "no such file");
    row("a directory", "(directory)", "not a regular file");
    row("over 1 MiB", good + pad + '\n', "larger than 1 MiB");
    row("exactly 1 MiB", good + pad, "", 64);
    row("not HEX", "hello\n", "not Intel HEX, line 1: record does not start with ':'");
}

void TestLocalFirmware::choosing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);
    QFETCH(int, dataBytes);
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    QVERIFY(rig.launch());
    const QString path = rig.path(content == "(directory)" ? "tmp" : "firmware.hex");
    QVERIFY(content.startsWith('(') || UpdateRig::writeFile(path, content));
    const QString before = rig.console();

    rig.delegate->openFirmwareFile(path);
    UpdateRig::drain();
    const bool taken = refusal.isEmpty();
    QCOMPARE(rig.console(),
             before + (taken ? chosenLine(path, dataBytes)
                             : "Firmware file refused: " + path + ": " + refusal + "\n"));
    QCOMPARE(rig.delegate->tableData(), QStringList({"fw", "firmware"}).mid(0, taken ? 2 : 1));
    QCOMPARE(rig.delegate->selectedTableItemValue(), QString(taken ? "firmware" : "fw"));
    const FirmwareFile *chosen = rig.delegate->firmwareChoice().file();
    QCOMPARE(chosen ? chosen->bytes : QByteArray(), taken ? content : QByteArray());
}

void TestLocalFirmware::updateFromFile_data()
{
    QTest::addColumn<bool>("catalogueReachable");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("variant"); // the file's content, or what happens before the run
    const auto row = [](const char *name, bool reachable, const char *file,
                        const char *variant = "") {
        QTest::newRow(name) << reachable << QString(file) << QString(variant);
    };
    row("given at start, no catalogue", false, "hoop-fw-9.9.9.hex");
    row("named like the catalogue's entry", true, "fw.hex");
    row("changed on disk after choosing", false, "x.HEX", "change the file");
    row("catalogue entry chosen again", true, "fw.hex", "choose the entry");
    row("a line break in its name", false, "two\nlines.hex");
    row("cannot be stored for flashing", false, "fw.hex", "block the directory");
    row("a whole-chip image", true, "whole.hex", "whole chip");
}

void TestLocalFirmware::updateFromFile()
{
    QFETCH(bool, catalogueReachable);
    QFETCH(QString, fileName);
    QFETCH(QString, variant);
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    if (!catalogueReachable)
        rig.writeCatalogue(QStringLiteral("not a catalogue"));
    const QString path = rig.path(fileName);
    // A whole-chip image holds the bootloader's 8 KiB too; the console counts what is written.
    const quint32 from = variant == "whole chip" ? kFlashBase : kApplicationStart;
    QByteArray flashed = image(from, int(kApplicationStart - from) + 3000, 0x11);
    QVERIFY(UpdateRig::writeFile(path, flashed));
    rig.config.firmwareFile = path;
    QVERIFY(rig.launch()); // the file enables the button without a catalogue

    // A console line stays one line, whatever the file is called.
    const QString shown = QString(path).replace(QLatin1Char('\n'), QLatin1Char('?'));
    QString version = QFileInfo(shown).completeBaseName();
    QVERIFY(rig.console().endsWith(chosenLine(shown, 3000)));
    // Without a catalogue the file's row takes the blank placeholder's place.
    QCOMPARE(rig.delegate->tableData(),
             catalogueReachable ? QStringList({"fw", version}) : QStringList{version});
    QString expected = rig.console() + "Using firmware file: " + shown + "\n";
    QString next = QStringLiteral("Checking for Vexlume Hoop...");
    if (variant == "block the directory") {
        // A file in the place of the private directory leaves nowhere to keep the image.
        QVERIFY(QDir(rig.config.tempDir).removeRecursively() &&
                UpdateRig::writeFile(rig.config.tempDir, "x"));
        next = "The firmware image could not be stored for flashing: there is no private directory "
               "to keep it in\n";
        flashed.clear();
    } else if (variant == "change the file") {
        QVERIFY(UpdateRig::writeFile(path, image(0x80002000u, 3000, 0x22)));
    } else if (variant == "choose the entry") {
        QTableView *table = rig.window->tableView();
        table->selectionModel()->select(table->model()->index(0, 0),
                                        QItemSelectionModel::ClearAndSelect);
        expected = rig.console() + "Fetching firmware update... (fw)\nMD5 check passed\n";
        flashed = hoopsim::sampleFirmwareHex(QStringLiteral("fw"), 8 * 1024);
        version = QStringLiteral("fw");
    }
    // The hoop's own lines are the run's concern; what comes before them and the ending are ours.
    const QString end = flashed.isEmpty() ? next
                                          : " updated to firmware version: " + version +
                                                " Disconnect hoop and quit.\n";
    rig.hoop->plugIn();
    QVERIFY(rig.updateAndWait());
    const QString console = rig.console();
    QVERIFY2(console.startsWith(expected + next) && console.endsWith(end), qPrintable(console));
    QCOMPARE(rig.hoop->flashedHexFile(), flashed);

    // Once a run has started, the choice is fixed.
    QVERIFY(!rig.window->openFirmwareFileAction()->isEnabled());
    rig.delegate->openFirmwareFile(path);
    UpdateRig::drain();
    QCOMPARE(rig.console(), console);
}

QTEST_MAIN(TestLocalFirmware)
#include "tst_localfirmware.moc"
