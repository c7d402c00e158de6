// A station of several hoops at once (--repeat --parallel): the program as a
// child process, with simulated hoops on several ports of one USB bus, which
// the program sees through a stand-in libusb.

#include "clichild.h"
#include "e2eharness.h"
#include "transcript.h"
#include "update/stationlog.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {

using hoopsim::Fault;
using hoopsim::SimulatedHoop;

// Ports of hoops on a bus, some behind hubs.
const QStringList kPorts{"1-1", "1-2", "1-3.2", "1-4.1.2"};

// A rig whose stand-in tool and bus carry `count` hoops, on kPorts, serial
// "VH-<n+1>", each with a volume of its own under the mount root.
struct Bench
{
    explicit Bench(int count)
    {
        rig.hoop->setUsbPort(QStringLiteral("1-1"), 1, 10);
        hoops << rig.hoop.get();
        for (int n = 1; n < count; ++n) {
            extra.push_back(std::make_unique<SimulatedHoop>(
                rig.path(QStringLiteral("hoop%1").arg(n)), rig.path(QStringLiteral("media")),
                QStringLiteral("VEXLUME HOOP %1").arg(n)));
            SimulatedHoop &hoop = *extra.back();
            hoop.joinTool(rig.config.resourceDir);
            hoop.setUsbPort(kPorts[n], 1, 10 * (n + 1));
            hoops << &hoop;
        }
        for (SimulatedHoop *hoop : hoops) {
            hoop->setSerial(QStringLiteral("VH-%1").arg(hoops.indexOf(hoop) + 1));
            hoop->setFastMode(true);
            // A slow erase shows whether the hoops are programmed side by side.
            hoop->setEraseDelay(400);
            // What a real hoop does once started: it shows its volume again.
            hoop->setFault(Fault::ComesBackAsVolume);
            hoop->setRebootDelay(200);
        }
        rig.hoop->setFastMode(true);
        const QString fw = rig.publishSample(QStringLiteral("fw"));
        rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("fw.zip", fw)}));
        QFile image(rig.path(QStringLiteral("firmware/fw.zip")));
        if (image.open(QIODevice::ReadOnly))
            sha256 = QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex();
    }
    ~Bench()
    {
        extra.clear(); // before the rig's directories go
    }

    void start(QProcess &cli, const QStringList &arguments)
    {
        QProcessEnvironment env = environmentFor(rig);
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), SimulatedHoop::usbLibraryDir());
        env.insert(QStringLiteral("HOOPSIM_USB"),
                   SimulatedHoop::pointerFile(rig.config.resourceDir));
        cli.setProcessEnvironment(env);
        ::start(cli, rig, QStringList{"--cli", "--repeat", "--parallel"} + arguments);
    }
    int flashes(int hoop) const
    {
        return hoops[hoop]->toolRuns().filter(QRegularExpression("^flash ")).size();
    }
    QList<QJsonObject> log() const
    {
        QList<QJsonObject> records;
        QFile file(rig.path(QStringLiteral("station.log")));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &line : file.readAll().split('\n'))
                if (!line.isEmpty())
                    records << QJsonDocument::fromJson(line).object();
        return records;
    }

    UpdateRig rig;
    std::vector<std::unique_ptr<SimulatedHoop>> extra;
    QList<SimulatedHoop *> hoops;
    QByteArray sha256;
};

// The port's lines of a hoop updated from its volume, in order.
QStringList portLines(const QString &port, int nth, int updated)
{
    QStringList lines;
    for (const QString &line :
         {QStringLiteral("Checking for hoop in DFU mode... Detected.\n"),
          QStringLiteral("Flashing new firmware to device... DO NOT UNPLUG!\n"),
          QStringLiteral("Erasing...\n"), QStringLiteral("Flashing...\n"),
          QStringLiteral("Resetting...\n"), QStringLiteral("Starting device...\n"), succeeded,
          QStringLiteral("Hoop %1: updated to fw (%2 updated, 0 failed)\n").arg(nth).arg(updated)})
        lines << QLatin1Char('[') + port + QStringLiteral("] ") + line;
    return lines;
}

// Whether the lines come in this order in the text, others between them.
bool inOrder(const QString &text, const QStringList &lines)
{
    qsizetype at = 0;
    for (const QString &line : lines) {
        at = text.indexOf(line, at);
        if (at < 0)
            return false;
        at += line.size();
    }
    return true;
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    // Hoops plugged in together are programmed side by side, each once, and
    // named by their ports; an updated hoop's volume coming back is not a
    // new hoop.
    void together_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("two") << 2;
        QTest::newRow("four") << 4;
    }
    void together()
    {
        QFETCH(int, count);
        Bench bench(count);
        QVERIFY(bench.rig.startServer());
        for (SimulatedHoop *hoop : bench.hoops)
            QVERIFY(hoop->plugIn());
        QProcess cli;
        bench.start(cli, {"--timeout", "3", "--log", bench.rig.path("station.log")});
        const Ended ended = finish(cli);
        QVERIFY2(ended.status == 0,
                 qPrintable(QString::number(ended.status) + ended.out.right(300) + ended.err));
        QCOMPARE(ended.out.count(QStringLiteral("Fetching firmware update")), 1);
        QCOMPARE(ended.out.count(QStringLiteral("Rebooting in DFU mode...\n")), count);
        QStringList ports;
        for (int n = 0; n < count; ++n) {
            const QString &port = kPorts[n];
            ports << port;
            QCOMPARE(bench.flashes(n), 1);
            QVERIFY2(inOrder(ended.out, portLines(port, 1, 1).mid(0, 7)), qPrintable(ended.out));
            QCOMPARE(ended.out.count(QStringLiteral("[%1] Hoop ").arg(port)), 1);
            QCOMPARE(bench.hoops[n]->requestCount(), 1);
        }
        QVERIFY(ended.out.contains(QStringLiteral("(%1 updated, 0 failed)\n").arg(count)));
        QVERIFY(ended.out.endsWith(QStringLiteral("No Vexlume Hoop appeared within 3 seconds.\n")));
        // Side by side: every erase began before the first one ended.
        qint64 firstEnd = std::numeric_limits<qint64>::max();
        qint64 lastStart = 0;
        for (SimulatedHoop *hoop : bench.hoops)
            for (const hoopsim::ToolRun &run : hoop->toolRunDetails())
                if (run.summary() == QLatin1String("erase")) {
                    firstEnd = qMin(firstEnd, run.endNs);
                    lastStart = qMax(lastStart, run.startNs);
                }
        QVERIFY(lastStart < firstEnd);

        const QList<QJsonObject> records = bench.log();
        QCOMPARE(records.size(), count);
        QStringList logged;
        for (const QJsonObject &record : records) {
            logged << record.value("port").toString();
            QCOMPARE(record.value("result").toString(), QStringLiteral("updated"));
            QCOMPARE(record.value("firmware").toString(), QStringLiteral("fw"));
            QCOMPARE(record.value("sha256").toString().toLatin1(), bench.sha256);
            QVERIFY(!record.contains("code"));
            // Their volumes show no port: which serial went to which
            // bootloader can't be told, so none is written.
            QVERIFY(!record.contains("serial"));
            QVERIFY(record.value("seconds").toDouble() > 0);
            QVERIFY(record.value("time").toString().endsWith(u'Z'));
        }
        logged.sort();
        QCOMPARE(logged, ports);
    }

    // A hoop plugged in while another is programmed is taken at once; its
    // serial, from its volume, names it in the log; one failing erase stops
    // no other hoop; and a port's next hoop is taken once the last has gone.
    void oneAfterAnother()
    {
        Bench bench(2);
        QVERIFY(bench.rig.startServer());
        bench.hoops[0]->setFault(Fault::EraseFails);
        bench.hoops[0]->plugIn();
        QProcess cli;
        bench.start(cli, {"--timeout", "4", "--log", bench.rig.path("station.log")});
        QString out;
        QVERIFY2(waitForOutput(cli, out, QStringLiteral("[1-1] Erasing...\n")), qPrintable(out));
        bench.hoops[1]->plugIn();
        QVERIFY2(waitForOutput(
                     cli, out,
                     QStringLiteral("[1-2] Hoop 2 (VH-2): updated to fw (1 updated, 1 failed)\n")),
                 qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("[1-1] ") + failure("10 Failure erasing device.")));
        QVERIFY(out.contains(
            QStringLiteral("[1-1] Hoop 1 (VH-1): not updated (0 updated, 1 failed)\n")));
        // The failed hoop, still in its bootloader, is not tried again
        // until it has left its port; plugged in again, as it comes up
        // without firmware, it is.
        QCOMPARE(bench.hoops[0]->toolRuns().count(QStringLiteral("erase")), 1);
        bench.hoops[0]->setFault(Fault::EraseFails, false);
        bench.hoops[0]->unplug();
        QTest::qWait(1500); // long enough to count as gone
        bench.hoops[0]->setFault(Fault::AlreadyInBootloader);
        QVERIFY2(
            waitForOutput(cli, out,
                          QStringLiteral("[1-1] Hoop 3: updated to fw (2 updated, 1 failed)\n")),
            qPrintable(out));
        const Ended ended = finish(cli);
        QCOMPARE(ended.status, 1);

        const QList<QJsonObject> records = bench.log();
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[0].value("port").toString(), QStringLiteral("1-1"));
        QCOMPARE(records[0].value("serial").toString(), QStringLiteral("VH-1"));
        QCOMPARE(records[0].value("result").toString(), QStringLiteral("failed"));
        QCOMPARE(records[0].value("code").toInt(), 10);
        QCOMPARE(records[1].value("serial").toString(), QStringLiteral("VH-2"));
        QCOMPARE(records[1].value("result").toString(), QStringLiteral("updated"));
    }

    // A chip that drops off the bus after its erase and comes back on the
    // same port at another address is still that port's hoop: flashed once,
    // at its new address, and not taken for a second hoop; then, with no
    // hoop left to handle, the station ends at its wait limit.
    void reenumerated()
    {
        Bench bench(1);
        QVERIFY(bench.rig.startServer());
        bench.hoops[0]->setFault(Fault::ReenumeratesAfterErase);
        bench.hoops[0]->setFault(Fault::AlreadyInBootloader);
        // Longer than the wait limit, which only counts while no hoop is handled.
        bench.hoops[0]->setEraseDelay(1500);
        QProcess cli;
        bench.start(cli, {"--timeout", "1"});
        const Ended ended = finish(cli);
        QVERIFY2(ended.status == 0, qPrintable(ended.out + ended.err));
        QVERIFY(inOrder(ended.out, portLines("1-1", 1, 1)));
        QCOMPARE(ended.out.count(QRegularExpression("\\] Hoop [0-9]+:")), 1);
        QCOMPARE(bench.hoops[0]->usbAddress(), 11);
        const QList<hoopsim::ToolRun> runs = bench.hoops[0]->toolRunDetails();
        QStringList targets;
        for (const hoopsim::ToolRun &run : runs)
            targets << run.summary().section(u' ', 0, 0) + "@" + run.arguments.value(0);
        QCOMPARE(targets.filter(QRegularExpression("^(erase|flash)")),
                 QStringList({"erase@at32uc3b1256:1,10", "flash@at32uc3b1256:1,11"}));
    }

    // Ctrl+C while two hoops are programmed: both are finished and counted,
    // then the station stops.
    void interrupted()
    {
        Bench bench(2);
        QVERIFY(bench.rig.startServer());
        for (SimulatedHoop *hoop : bench.hoops) {
            hoop->setFault(Fault::HangOnFlash);
            hoop->setFault(Fault::AlreadyInBootloader);
        }
        QProcess cli;
        bench.start(cli, {});
        QString out;
        QVERIFY2(waitForOutput(cli, out, QStringLiteral("] Flashing...\n"), 2), qPrintable(out));
        for (SimulatedHoop *hoop : bench.hoops)
            QTRY_COMPARE(hoop->toolRuns().filter(QRegularExpression("^flash ")).size(), 1);
        // Once for each hoop: the second while one of them is still written.
        for (SimulatedHoop *hoop : bench.hoops) {
            QVERIFY(::kill(-pid_t(cli.processId()), SIGINT) == 0);
            // Not cut off: the tools still run, and the program waits for them.
            QTest::qWait(300);
            QCOMPARE(cli.state(), QProcess::Running);
            hoop->setFault(Fault::HangOnFlash, false);
            if (hoop == bench.hoops[0])
                QVERIFY2(waitForOutput(cli, out, QStringLiteral("(1 updated, 0 failed)\n")),
                         qPrintable(out));
        }
        const Ended ended = finish(cli);
        QCOMPARE(ended.status, 0);
        QVERIFY(ended.err.contains(QStringLiteral("finishing it first")));
        out += ended.out;
        QVERIFY2(out.contains(QStringLiteral("(2 updated, 0 failed)\n")), qPrintable(out));
        QVERIFY(!out.contains(QStringLiteral("No Vexlume Hoop appeared")));
    }

    // Without --parallel, two hoops plugged in at once are updated one after
    // the other: the first one's volume coming back holds the station up
    // only until that hoop is unplugged, the second one's not at all.
    void oneAtATime()
    {
        Bench bench(2);
        QVERIFY(bench.rig.startServer());
        for (SimulatedHoop *hoop : bench.hoops)
            QVERIFY(hoop->plugIn());
        QProcess cli;
        QProcessEnvironment env = environmentFor(bench.rig);
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), SimulatedHoop::usbLibraryDir());
        env.insert(QStringLiteral("HOOPSIM_USB"),
                   SimulatedHoop::pointerFile(bench.rig.config.resourceDir));
        cli.setProcessEnvironment(env);
        start(cli, bench.rig, {"--cli", "--repeat", "--timeout", "3"});
        QString out;
        QVERIFY2(waitForOutput(cli, out, QStringLiteral("Hoop 1: updated")), qPrintable(out));
        const int first = bench.flashes(0) == 1 ? 0 : 1;
        QTRY_VERIFY(bench.hoops[first]->volumeMounted());
        bench.hoops[first]->unplug();
        QVERIFY2(
            waitForOutput(cli, out, QStringLiteral("Hoop 2: updated to fw (2 updated, 0 failed)")),
            qPrintable(out));
        QTRY_VERIFY(bench.hoops[1 - first]->volumeMounted());
        bench.hoops[1 - first]->unplug();
        const Ended ended = finish(cli);
        QVERIFY2(ended.status == 0, qPrintable(out + ended.out + ended.err));
        QCOMPARE(bench.flashes(0), 1);
        QCOMPARE(bench.flashes(1), 1);
    }

    // A log that can't be kept stops the station before anything is fetched.
    void logRefused()
    {
        Bench bench(1);
        QVERIFY(bench.rig.startServer());
        QProcess cli;
        bench.start(cli, {"--log", bench.rig.path("firmware")});
        const Ended ended = finish(cli);
        QCOMPARE(ended.status, 1);
        QVERIFY2(ended.err.contains("hoop-updater: can't open the log " +
                                    bench.rig.path("firmware") + ": Is a directory\n"),
                 qPrintable(ended.err));
        QCOMPARE(ended.out, QString());
    }

    // One line of the log per hoop, with what is known of it.
    void record_data()
    {
        QTest::addColumn<bool>("updated");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("updated") << true << "VH-1"
                                 << QByteArray(
                                        R"({"firmware":"fw","port":"1-4.3","result":"updated",)"
                                        R"("seconds":12.3,"serial":"VH-1","sha256":"ab",)"
                                        R"("time":"2026-12-08T13:05:12Z"})");
        QTest::newRow("failed, no serial")
            << false << ""
            << QByteArray(R"({"code":20,"firmware":"fw","port":"1-4.3","result":"failed",)"
                          R"("seconds":12.3,"sha256":"ab","time":"2026-12-08T13:05:12Z"})");
    }
    void record()
    {
        QFETCH(bool, updated);
        QFETCH(QString, serial);
        QFETCH(QByteArray, line);
        const QDateTime at(QDate(2026, 12, 8), QTime(14, 5, 12), Qt::OffsetFromUTC, 3600);
        const StationRecord record{at, "1-4.3", serial, "fw", "ab", updated, 20, 12.345};
        QCOMPARE(stationRecordLine(record), line + '\n');

        // Appended whole, one line each, to what the file held.
        QTemporaryDir dir;
        const QString path = dir.filePath("station.log");
        QVERIFY(UpdateRig::writeFile(path, "earlier\n"));
        {
            StationLog log(path);
            QVERIFY(log.append(record) && log.append(record));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "earlier\n" + line + '\n' + line + '\n');
        QVERIFY(!StationLog(dir.path()).isOpen());
    }
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
