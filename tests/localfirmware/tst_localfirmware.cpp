// Firmware files from disk: every reason a file is refused, with nothing else
// changing, and whole updates from a chosen file through the real controller
// and the simulated hoop.

#include "e2eharness.h"
#include "update/intelhex.h"

#include <QAction>
#include <QDir>
#include <QItemSelectionModel>
#include <QTest>

namespace {

const QString launchLines =
    QStringLiteral("Checking for updates...\nSelect a firmware and hit \"Update Firmware\"\n");
const QString checkFailed = QStringLiteral(
    "Checking for updates...\nUnable to check for latest firmware. Check your internet "
    "connection and restart the app.\n");
const QString hoopLines =
    QStringLiteral("Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n"
                   "Vexlume Hoop detected, volume label: VEXLUME HOOP\nRebooting in DFU mode...\n"
                   "Checking for hoop in DFU mode... Detected.\n"
                   "Flashing new firmware to device... DO NOT UNPLUG!\n"
                   "Erasing...\nFlashing...\nResetting...\nStarting device...\n");

// One record with its checksum, for files the writer would never make.
QByteArray record(int type, quint16 offset, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(char(payload.size())).append(char(offset >> 8)).append(char(offset));
    bytes.append(char(type)).append(payload);
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    return ':' + bytes.append(char(-sum)).toHex().toUpper() + '\n';
}
const QByteArray endRecord = ":00000001FF\n";

QByteArray image(quint32 address, int size, char fill = 0x5a)
{
    return QByteArray::fromStdString(
        writeIntelHex(address, std::vector<std::uint8_t>(std::size_t(size), std::uint8_t(fill))));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Launches against the rig's server, or against a closed port.
bool launch(UpdateRig &rig, bool catalogueReachable)
{
    if (catalogueReachable)
        return rig.launch();
    rig.config.updateServerUrl = QStringLiteral("http://127.0.0.1:1");
    rig.delegate = std::make_unique<AppDelegate>(rig.config);
    rig.window = std::make_unique<MainWindow>();
    rig.window->connectOutlets(*rig.delegate);
    rig.window->show();
    rig.delegate->applicationDidFinishLaunching();
    UpdateRig::drain();
    return rig.buttonEnabled();
}

QString chosenLine(const QString &path, int dataBytes)
{
    return QStringLiteral("Firmware file chosen: ") + path + QStringLiteral(" (") +
           QString::number(dataBytes) + QStringLiteral(" bytes of firmware)\n");
}

} // namespace

class TestLocalFirmware : public QObject
{
    Q_OBJECT

private slots:
    void choosing_data();
    void choosing();
    void updateFromFile_data();
    void updateFromFile();
};

void TestLocalFirmware::choosing_data()
{
    QTest::addColumn<QByteArray>("content"); // or "(missing)", "(directory)"
    QTest::addColumn<QString>("refusal");    // empty: the file is taken
    QTest::addColumn<int>("dataBytes");

    const QByteArray good = image(0x80002000u, 64);
    const QString outsideHigh =
        QStringLiteral("lies outside the hoop's application flash (0x80002000 to 0x8003FFFF)");
    const QString outsideLow =
        QStringLiteral("lies outside the hoop's application flash (0x00002000 to 0x0003FFFF)");
    QTest::newRow("missing") << QByteArray("(missing)") << "no such file" << 0;
    QTest::newRow("a directory") << QByteArray("(directory)") << "not a regular file" << 0;
    QTest::newRow("over 1 MiB") << good + QByteArray(1024 * 1024 + 1 - good.size(), '\n')
                                << "larger than 1 MiB" << 0;
    QTest::newRow("exactly 1 MiB")
        << good + QByteArray(1024 * 1024 - good.size(), '\n') << "" << 64;
    QTest::newRow("not HEX") << QByteArray("hello\n")
                             << "not Intel HEX, line 1: record does not start with ':'" << 0;
    // The writer's first record, ":020000048000" + "7A", with a checksum one off.
    const QByteArray badSum = ":0200000480007B\n" + good.mid(good.indexOf('\n') + 1);
    QTest::newRow("checksum") << badSum << "not Intel HEX, line 1: checksum mismatch" << 0;
    QTest::newRow("record type 06")
        << record(6, 0, "ab") + good << "not Intel HEX, line 1: unknown record type 0x06" << 0;
    QTest::newRow("no end record") << good.left(good.size() - endRecord.size())
                                   << "not Intel HEX: missing end-of-file record" << 0;
    QTest::newRow("no data") << endRecord << "it holds no firmware data" << 0;
    QTest::newRow("bootloader area")
        << image(0x80001fffu, 2) << "data at 0x80001FFF " + outsideHigh << 0;
    QTest::newRow("past the flash")
        << image(0x8003ffffu, 2) << "data at 0x80040000 " + outsideHigh << 0;
    QTest::newRow("past 4 GiB") << record(4, 0, QByteArray::fromHex("ffff")) +
                                       record(0, 0xfff0, QByteArray(32, 1)) + endRecord
                                << "data at 0xFFFFFFF0 " + outsideHigh << 0;
    QTest::newRow("from 0, bootloader area")
        << image(0x1fffu, 2) << "data at 0x00001FFF " + outsideLow << 0;
    QTest::newRow("both regions mixed")
        << image(0x3fff0u, 16).replace(endRecord, "") + image(0x80002000u, 16)
        << "data at 0x80002000 " + outsideLow << 0;
    QTest::newRow("whole application flash") << image(0x80002000u, 0x3e000) << "" << 0x3e000;
    QTest::newRow("from 0, last bytes") << image(0x3fff0u, 16) + "\r\n"
                                        << "" << 16;
    QTest::newRow("segment addresses, start record")
        << record(2, 0, QByteArray::fromHex("0200")) + record(0, 0, "xyz") + record(3, 0, "abcd") +
               endRecord
        << "" << 3;
}

void TestLocalFirmware::choosing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);
    QFETCH(int, dataBytes);
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    QVERIFY(launch(rig, true));
    QString path = rig.path(QStringLiteral("firmware.hex"));
    if (content == "(directory)")
        path = rig.path(QStringLiteral("tmp"));
    else if (content != "(missing)")
        QVERIFY(writeFile(path, content));

    rig.delegate->openFirmwareFile(path);
    UpdateRig::drain();
    if (!refusal.isEmpty()) {
        QCOMPARE(rig.console(), launchLines + QStringLiteral("Firmware file refused: ") + path +
                                    QStringLiteral(": ") + refusal + QStringLiteral("\n"));
        QCOMPARE(rig.delegate->tableData(), QStringList{"fw"});
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw"));
        QVERIFY(!rig.delegate->chosenFirmwareFile());
        return;
    }
    QCOMPARE(rig.console(), launchLines + chosenLine(path, dataBytes));
    QCOMPARE(rig.delegate->tableData(), (QStringList{"fw", "firmware"}));
    QCOMPARE(rig.delegate->chosenFirmwareFile()->bytes, content);
}

void TestLocalFirmware::updateFromFile_data()
{
    QTest::addColumn<bool>("catalogueReachable");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("afterChoosing"); // what happens before "Update Firmware"

    QTest::newRow("given at start, no catalogue") << false << "hoop-fw-9.9.9.hex"
                                                  << "";
    QTest::newRow("named like the catalogue's entry") << true << "fw.hex"
                                                      << "";
    QTest::newRow("changed on disk after choosing") << false << "x.HEX"
                                                    << "change the file";
    QTest::newRow("catalogue entry chosen again") << true << "fw.hex"
                                                  << "choose the entry";
    QTest::newRow("a line break in its name") << false << "two\nlines.hex"
                                              << "";
    QTest::newRow("cannot be stored for flashing") << false << "fw.hex"
                                                   << "block the download directory";
}

void TestLocalFirmware::updateFromFile()
{
    QFETCH(bool, catalogueReachable);
    QFETCH(QString, fileName);
    QFETCH(QString, afterChoosing);
    UpdateRig rig;
    rig.publishSample(QStringLiteral("fw"));
    const QString path = rig.path(fileName);
    const QByteArray chosen = image(0x80002000u, 3000, 0x11);
    QVERIFY(writeFile(path, chosen));
    rig.config.firmwareFile = path;
    QVERIFY(launch(rig, catalogueReachable)); // the file enables the button without a catalogue

    // A console line stays one line, whatever the file is called.
    const QString shown = QString(path).replace(QLatin1Char('\n'), QLatin1Char('?'));
    const QString name = QFileInfo(shown).completeBaseName();
    // Without a catalogue the file's row takes the blank placeholder's place.
    QCOMPARE(rig.delegate->tableData(),
             catalogueReachable ? QStringList({"fw", name}) : QStringList{name});
    QString expected = (catalogueReachable ? launchLines : checkFailed) + chosenLine(shown, 3000) +
                       QStringLiteral("Using firmware file: ") + shown + QStringLiteral("\n");
    QByteArray flashed = chosen;
    QString version = name;
    QString tail;
    if (afterChoosing == QStringLiteral("block the download directory")) {
        // A taken bundle directory is stepped around; a file in the place of the
        // private directory itself leaves nowhere to keep the image.
        QVERIFY(QDir(rig.config.tempDir).removeRecursively());
        QVERIFY(writeFile(rig.config.tempDir, "in the way"));
        tail = QStringLiteral("The firmware file could not be stored for flashing: there is no "
                              "private directory to keep it in\n");
        flashed.clear();
    } else if (afterChoosing == QStringLiteral("change the file")) {
        QVERIFY(writeFile(path, image(0x80002000u, 3000, 0x22)));
    } else if (afterChoosing == QStringLiteral("choose the entry")) {
        QTableView *table = rig.window->tableView();
        table->selectionModel()->select(table->model()->index(0, 0),
                                        QItemSelectionModel::ClearAndSelect);
        expected = launchLines + chosenLine(shown, 3000) +
                   QStringLiteral("Fetching firmware update... (fw)\nMD5 check passed\n");
        flashed = hoopsim::sampleFirmwareHex(QStringLiteral("fw"), 8 * 1024);
        version = QStringLiteral("fw");
    }
    if (tail.isNull())
        tail = hoopLines +
               QStringLiteral("Vexlume Hoop successfully updated to firmware version: ") + version +
               QStringLiteral(" Disconnect hoop and quit.\n");
    rig.hoop->plugIn();
    QVERIFY(rig.updateAndWait());
    QCOMPARE(rig.console(), expected + tail);
    QCOMPARE(rig.hoop->flashedHexFile(), flashed);

    // Once a run has started, the choice is fixed.
    QVERIFY(!rig.window->openFirmwareFileAction()->isEnabled());
    rig.delegate->openFirmwareFile(path);
    UpdateRig::drain();
    QCOMPARE(rig.console(), expected + tail);
}

QTEST_MAIN(TestLocalFirmware)
#include "tst_localfirmware.moc"
