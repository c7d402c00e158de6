#include "tools/hoopsim/samplefirmware.h"
#include "tools/hoopsim/simulatedhoop.h"
#include "update/intelhex.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace hoopsim;

Q_DECLARE_METATYPE(hoopsim::Fault)

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

// A valid image: 40 bytes of application code at 0x80002000.
QByteArray goodHex()
{
    std::vector<std::uint8_t> bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(i * 7);
    const std::string text = writeIntelHex(0x80002000u, bytes);
    return QByteArray::fromStdString(text);
}

} // namespace

class TestHoopSim : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<SimulatedHoop> m_hoop;

    QString path(const QString &name) const { return m_tmp->filePath(name); }
    QString tool() const { return path(QStringLiteral("res/dfu-programmer")); }

    Run runTool(const QStringList &args, const QString &toolPath = {})
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(toolPath.isEmpty() ? tool() : toolPath, args);
        [&] {
            QVERIFY2(p.waitForFinished(60000), "the stand-in did not finish");
        }();
        return {p.exitCode(), p.readAll()};
    }
    Run dfu(const QString &command, const QStringList &more = {})
    {
        return runTool(QStringList{QStringLiteral("at32uc3b1256"), command} + more);
    }
    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QSaveFile f(path(name));
        [&] {
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit());
        }();
        return path(name);
    }
    // As the application writes the request: temporary file, then rename.
    bool writeRequest(const QByteArray &bytes)
    {
        QSaveFile f(m_hoop->volumePath() + QStringLiteral("/runnow.cfg"));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        QDir().mkpath(path(QStringLiteral("mnt")));
        m_hoop = std::make_unique<SimulatedHoop>(path(QStringLiteral("state")),
                                                 path(QStringLiteral("mnt")));
        QVERIFY(m_hoop->installTool(path(QStringLiteral("res"))));
        m_hoop->setFastMode(true);
        m_hoop->setRebootDelay(0);
    }
    void cleanup()
    {
        m_hoop.reset(); // before the directories: it may hold a mount
        m_tmp.reset();
    }

    void intelHexRoundTrip()
    {
        // Crosses a 64 KiB boundary, so an extended linear address record is needed mid-way.
        std::vector<std::uint8_t> bytes(300);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = std::uint8_t(i ^ 0x5a);
        const HexParseResult r = parseIntelHex(writeIntelHex(0x8000FF80u, bytes, 32, 0x80002000));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.data.size(), std::size_t(1));
        QCOMPARE(r.data[0].address, 0x8000FF80u);
        QVERIFY(r.data[0].bytes == bytes);
    }

    void intelHexRejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("line");
        QTest::newRow("bad checksum")
            << QByteArray(":0400000001020304F1\n:00000001FF\n") << "checksum mismatch" << 1;
        QTest::newRow("no colon") << QByteArray(":0400000001020304F2\n0400000001020304F2\n")
                                  << "does not start with ':'" << 2;
        QTest::newRow("short count")
            << QByteArray(":0500000001020304F1\n:00000001FF\n") << "byte count" << 1;
        QTest::newRow("odd digits")
            << QByteArray(":0400000001020304F\n:00000001FF\n") << "odd number" << 1;
        QTest::newRow("not hex") << QByteArray(":04000000010203G4F2\n:00000001FF\n")
                                 << "invalid hex digit" << 1;
        QTest::newRow("missing EOF")
            << QByteArray(":0400000001020304F2\n") << "missing end-of-file" << 0;
        QTest::newRow("empty file") << QByteArray() << "missing end-of-file" << 0;
        QTest::newRow("after EOF")
            << QByteArray(":00000001FF\n:0400000001020304F2\n") << "after the end-of-file" << 2;
        QTest::newRow("unknown type")
            << QByteArray(":00000007F9\n:00000001FF\n") << "unknown record type 0x07" << 1;
        QTest::newRow("ELA too long")
            << QByteArray(":0300000480000079\n:00000001FF\n") << "extended linear address" << 1;
    }
    void intelHexRejects()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QFETCH(int, line);
        const HexParseResult r = parseIntelHex(text.toStdString());
        QVERIFY(!r.ok);
        QVERIFY2(QString::fromStdString(r.error).contains(error), r.error.c_str());
        QCOMPARE(r.line, line);
    }

    void rebootsOnlyOnExactRequest_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("reboots");
        QTest::newRow("bootloader") << QByteArray("bootloader") << true;
        QTest::newRow("line end") << QByteArray("bootloader\n") << false;
        QTest::newRow("upper case") << QByteArray("BOOTLOADER") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("trailing NUL") << QByteArray("bootloader", 11) << false;
        QTest::newRow("leading blank") << QByteArray(" bootloader") << false;
    }
    void rebootsOnlyOnExactRequest()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, reboots);
        QVERIFY(m_hoop->plugIn());
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mnt/VEXLUME HOOP/hoopinfo.txt"))));
        QVERIFY(writeRequest(request));
        const Run probe = dfu(QStringLiteral("get"));
        QCOMPARE(probe.output.contains("Bootloader Version: 0x01 (1)"), reboots);
        QCOMPARE(probe.exitCode, reboots ? 0 : 1);
        if (!reboots)
            QCOMPARE(probe.output, QByteArray("dfu-programmer: no device present.\n"));
        QCOMPARE(m_hoop->volumeMounted(), !reboots);
        QCOMPARE(QFileInfo::exists(m_hoop->volumePath()), !reboots);
        QCOMPARE(m_hoop->requestCount(), reboots ? 1 : 0);
        QCOMPARE(m_hoop->lastRequest(), reboots ? request : QByteArray());
    }

    void rebootTakesItsDelay()
    {
        m_hoop->setRebootDelay(3600 * 1000);
        QVERIFY(m_hoop->plugIn());
        QVERIFY(writeRequest("bootloader"));
        QCOMPARE(dfu(QStringLiteral("get")).exitCode, 1);
        QCOMPARE(m_hoop->mode(), Mode::Rebooting);
        QVERIFY(!m_hoop->volumeMounted());
    }

    void wholeUpdate()
    {
        QVERIFY(m_hoop->plugIn());
        QVERIFY(writeRequest("bootloader"));
        const QString image = writeFile(QStringLiteral("fw with blanks.hex"), goodHex());
        QCOMPARE(dfu(QStringLiteral("get")).exitCode, 0);
        const Run erase = dfu(QStringLiteral("erase"));
        QCOMPARE(erase.output, QByteArray());
        QCOMPARE(erase.exitCode, 0);
        const Run flash =
            dfu(QStringLiteral("flash"), {QStringLiteral("--suppress-bootloader-mem"), image});
        QCOMPARE(flash.exitCode, 0);
        QVERIFY2(flash.output.contains("Checking memory from 0x2000 to 0x3FFFF...  Empty.\n"),
                 flash.output);
        QVERIFY2(flash.output.contains("40 bytes used (0.02%)\n"), flash.output);
        const Run reset = dfu(QStringLiteral("reset"));
        QCOMPARE(reset.output, QByteArray());
        QCOMPARE(reset.exitCode, 0);
        const Run start = dfu(QStringLiteral("start"));
        QCOMPARE(start.output, QByteArray("dfu-programmer: no device present.\n"));
        QCOMPARE(start.exitCode, 1);

        QCOMPARE(m_hoop->toolRuns(),
                 QStringList({"get", "erase", "flash " + image, "reset", "start"}));
        QCOMPARE(m_hoop->flashedHexFile(), goodHex());
        QByteArray expected;
        for (int i = 0; i < 40; ++i)
            expected += char(i * 7);
        QCOMPARE(m_hoop->flashedImage(), expected);
        QCOMPARE(m_hoop->mode(), Mode::Running);
        const QList<ToolRun> runs = m_hoop->toolRunDetails();
        for (qsizetype i = 0; i < runs.size(); ++i) {
            QVERIFY(runs[i].finished());
            QVERIFY(runs[i].startNs <= runs[i].endNs);
            if (i > 0)
                QVERIFY(runs[i - 1].endNs <= runs[i].startNs);
        }
        QCOMPARE(runs[2].arguments.value(2), QStringLiteral("--suppress-bootloader-mem"));
    }

    void flashChecksItsImage_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<bool>("eraseFirst");
        QTest::addColumn<QString>("expected");
        const QByteArray good = goodHex();
        QByteArray badSum = good; // one data digit of the first data record changed
        const qsizetype digit = good.indexOf('\n') + 1 + 9;
        badSum[digit] = badSum[digit] == '0' ? '1' : '0';
        const std::vector<std::uint8_t> four{1, 2, 3, 4};
        QTest::newRow("good") << good << true << true << "40 bytes used (0.02%)";
        QTest::newRow("bad checksum") << badSum << true << true << "line 2: checksum mismatch";
        QTest::newRow("missing EOF") << good.left(good.lastIndexOf(":00000001FF")) << true << true
                                     << "missing end-of-file record";
        QTest::newRow("bad record")
            << QByteArray(good).insert(good.lastIndexOf(":00000001FF"), "garbage\n") << true << true
            << "does not start with ':'";
        QTest::newRow("not erased") << good << true << false << "Not blank at 0x2000";
        QTest::newRow("bootloader area, suppressed")
            << QByteArray::fromStdString(writeIntelHex(0x80000000u, four)) << true << true
            << "0 bytes used (0.00%)";
        QTest::newRow("bootloader area")
            << QByteArray::fromStdString(writeIntelHex(0x80000000u, four)) << false << true
            << "Bootloader and code overlap.";
        QTest::newRow("past the flash")
            << QByteArray::fromStdString(writeIntelHex(0x80040000u, four)) << true << true
            << "outside the device's flash";
    }
    void flashChecksItsImage()
    {
        QFETCH(QByteArray, hex);
        QFETCH(bool, suppress);
        QFETCH(bool, eraseFirst);
        QFETCH(QString, expected);
        m_hoop->enterBootloader();
        if (eraseFirst)
            QCOMPARE(dfu(QStringLiteral("erase")).exitCode, 0);
        QStringList args;
        if (suppress)
            args << QStringLiteral("--suppress-bootloader-mem");
        const Run r = dfu(QStringLiteral("flash"), args << writeFile(QStringLiteral("i.hex"), hex));
        QVERIFY2(QString::fromUtf8(r.output).contains(expected), r.output);
        const bool good = expected.contains(QStringLiteral("bytes used"));
        QCOMPARE(r.exitCode, good ? 0 : 1);
        QCOMPARE(r.output.contains("bytes used"), good);
    }

    void faults_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output"); // whole output, or a part of it after "~"
        QTest::newRow("erase fails") << Fault::EraseFails << "erase" << 1 << QByteArray();
        QTest::newRow("flash fails")
            << Fault::FlashFails << "flash" << 1 << QByteArray("~Error while flashing.");
        QTest::newRow("reset fails") << Fault::ResetFails << "reset" << 1 << QByteArray();
        QTest::newRow("start fails") << Fault::StartFails << "start" << 0 << QByteArray();
    }
    void faults()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        const QString image = writeFile(QStringLiteral("i.hex"), goodHex());
        m_hoop->enterBootloader();
        m_hoop->setFault(fault);
        QVERIFY(m_hoop->hasFault(fault));
        const QStringList steps{"erase", "flash", "reset", "start"};
        for (const QString &step : steps) {
            const QStringList more =
                step == QLatin1String("flash")
                    ? QStringList{QStringLiteral("--suppress-bootloader-mem"), image}
                    : QStringList();
            const Run r = dfu(step, more);
            if (step != command)
                continue;
            QCOMPARE(r.exitCode, exitCode);
            if (output.startsWith('~'))
                QVERIFY2(r.output.contains(output.mid(1)), r.output);
            else
                QCOMPARE(r.output, output);
            QVERIFY(!r.output.contains("bytes used"));
            QVERIFY(!r.output.contains("dfu-programmer: no device present."));
            break;
        }
    }

    void hangsUntilCleared_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("command");
        QTest::newRow("get") << Fault::HangOnGet << "get";
        QTest::newRow("erase") << Fault::HangOnErase << "erase";
        QTest::newRow("flash") << Fault::HangOnFlash << "flash";
        QTest::newRow("reset") << Fault::HangOnReset << "reset";
        QTest::newRow("start") << Fault::HangOnStart << "start";
    }
    void hangsUntilCleared()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, command);
        m_hoop->enterBootloader();
        m_hoop->setFault(fault);
        QProcess p;
        p.start(tool(), {QStringLiteral("at32uc3b1256"), command});
        QVERIFY(p.waitForStarted());
        QTRY_COMPARE(m_hoop->toolRuns().size(), 1);
        QVERIFY(!p.waitForFinished(200));
        QVERIFY(!m_hoop->toolRunDetails().first().finished());
        m_hoop->setFault(fault, false);
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(m_hoop->toolRunDetails().first().finished());
    }

    void hangingRunEndsWithTheSimulator()
    {
        m_hoop->enterBootloader();
        m_hoop->setFault(Fault::HangOnGet);
        QProcess p;
        p.start(tool(), {QStringLiteral("at32uc3b1256"), QStringLiteral("get")});
        QTRY_COMPARE(m_hoop->toolRuns().size(), 1);
        m_hoop.reset();
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 137);
    }

    void plugInAfterNeedsNoToolRun()
    {
        m_hoop->plugInAfter(50);
        // Only the file system is watched here: the simulator's own timer must act.
        QTRY_VERIFY(QFileInfo::exists(path(QStringLiteral("mnt/VEXLUME HOOP/hoopinfo.txt"))));
        QVERIFY(m_hoop->toolRuns().isEmpty());
    }

    void neverAppears()
    {
        m_hoop->setFault(Fault::NeverAppears);
        QVERIFY(m_hoop->plugIn());
        m_hoop->plugInAfter(0);
        QCOMPARE(dfu(QStringLiteral("get")).exitCode, 1);
        QVERIFY(!m_hoop->volumeMounted());
        QVERIFY(QDir(path(QStringLiteral("mnt"))).isEmpty());
    }

    void alreadyInBootloader()
    {
        QVERIFY(m_hoop->plugIn());
        m_hoop->setFault(Fault::AlreadyInBootloader);
        QVERIFY(!m_hoop->volumeMounted());
        QVERIFY(QDir(path(QStringLiteral("mnt"))).isEmpty());
        const Run probe = dfu(QStringLiteral("get"));
        QCOMPARE(probe.output, QByteArray("Bootloader Version: 0x01 (1)\n"));
        QCOMPARE(m_hoop->requestCount(), 0);
    }

    void readOnlyVolume()
    {
        const QString why =
            SimulatedHoop::readOnlyVolumeUnsupportedReason(path(QStringLiteral("scratch")));
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        m_hoop->setFault(Fault::ReadOnlyVolume);
        QVERIFY2(m_hoop->plugIn(), qPrintable(m_hoop->errorString()));
        QVERIFY(QFileInfo::exists(m_hoop->volumePath() + QStringLiteral("/hoopinfo.txt")));
        QSaveFile f(m_hoop->volumePath() + QStringLiteral("/runnow.cfg"));
        const bool written =
            f.open(QIODevice::WriteOnly) && f.write("bootloader") == 10 && f.commit();
        QVERIFY(!written);
        QVERIFY(!f.errorString().isEmpty());
        m_hoop->unplug();
        QVERIFY(!QFileInfo::exists(m_hoop->volumePath()));
    }

    void separateHoopsDoNotMix()
    {
        SimulatedHoop other(path(QStringLiteral("state2")), path(QStringLiteral("mnt2")),
                            QStringLiteral("H2"));
        QVERIFY(other.installTool(path(QStringLiteral("res2"))));
        other.setFastMode(true);
        m_hoop->enterBootloader();
        const QString otherTool = path(QStringLiteral("res2/dfu-programmer"));
        QCOMPARE(
            runTool({QStringLiteral("at32uc3b1256"), QStringLiteral("get")}, otherTool).exitCode,
            1);
        QCOMPARE(dfu(QStringLiteral("get")).exitCode, 0);
        QCOMPARE(other.toolRuns().size(), 1);
        QCOMPARE(m_hoop->toolRuns().size(), 1);
    }

    void noStateNoAnswer()
    {
        QFile::copy(SimulatedHoop::builtToolPath(), path(QStringLiteral("loose")));
        QFile::setPermissions(path(QStringLiteral("loose")), QFile::ReadOwner | QFile::ExeOwner);
        const Run r = runTool({QStringLiteral("at32uc3b1256"), QStringLiteral("get")},
                              path(QStringLiteral("loose")));
        QCOMPARE(r.exitCode, 3);
        QVERIFY(!r.output.contains("Bootloader Version:"));
    }

    void concurrentChangesAreNotLost()
    {
        m_hoop->enterBootloader();
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int i = 0; i < 8; ++i) {
            runs.push_back(std::make_unique<QProcess>());
            runs.back()->start(tool(), {QStringLiteral("at32uc3b1256"), QStringLiteral("get")});
        }
        const QList<Fault> set{Fault::EraseFails, Fault::FlashFails, Fault::ResetFails,
                               Fault::StartFails};
        for (Fault f : set)
            m_hoop->setFault(f);
        for (auto &p : runs)
            QVERIFY(p->waitForFinished(60000));
        for (Fault f : set)
            QVERIFY(m_hoop->hasFault(f));
        const QList<ToolRun> details = m_hoop->toolRunDetails();
        QCOMPARE(details.size(), 8);
        for (const ToolRun &r : details)
            QCOMPARE(r.output, QByteArray("Bootloader Version: 0x01 (1)\n"));
    }

    void sampleFirmwareIsValidHex()
    {
        QString error;
        const QStringList files = writeSampleFirmware(path(QStringLiteral("fw")), 20000, &error);
        QVERIFY2(files.size() == 3, qPrintable(error));
        QByteArray previous;
        for (const QString &file : files) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray text = f.readAll();
            QVERIFY(text.size() > 15000 && text.size() < 25000);
            QVERIFY(text != previous);
            previous = text;
            const HexParseResult r = parseIntelHex(text.toStdString());
            QVERIFY2(r.ok, r.error.c_str());
            QCOMPARE(r.data.front().address, 0x80002000u);
        }
        // The largest image still fits the application area, so the hoop takes it.
        const QByteArray big = sampleFirmwareHex(QStringLiteral("big"), 700 * 1024);
        const HexParseResult r = parseIntelHex(big.toStdString());
        QVERIFY(r.ok);
        QCOMPARE(r.data.front().bytes.size(), std::size_t(0x3E000));
        QCOMPARE(sampleFirmwareHex(QStringLiteral("big"), 700 * 1024), big);
    }
};

QTEST_GUILESS_MAIN(TestHoopSim)
#include "tst_hoopsim.moc"
