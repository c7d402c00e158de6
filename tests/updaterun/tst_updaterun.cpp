// Whole update runs through the real controller, a real update server on
// loopback and the simulated hoop: every ending, what the console says, which
// tool runs happened, and the window's state afterwards.

#include "devlogcapture.h"
#include "e2eharness.h"

#include <QProcess>
#include <QProgressBar>
#include <QTest>

namespace {

const QString launchLines =
    QStringLiteral("Checking for updates...\nSelect a firmware and hit \"Update Firmware\"\n");

QString fetching(const QString &name)
{
    return QStringLiteral("Fetching firmware update... (") + name + QStringLiteral(")\n");
}
const QString md5Passed = QStringLiteral("MD5 check passed\n");
const QString md5Failed = QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                                         "and try again. Or contact Tarvik support.\n");
const QString lookingForHoop =
    QStringLiteral("Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n");
const QString volumeLines = QStringLiteral("Vexlume Hoop detected, volume label: VEXLUME HOOP\n"
                                           "Rebooting in DFU mode...\n");
const QString dfuDetected = QStringLiteral("Checking for hoop in DFU mode... Detected.\n"
                                           "Flashing new firmware to device... DO NOT UNPLUG!\n");
QString failure(const QString &code)
{
    return QStringLiteral("FLASH PROCESS FAILURE. Contact Tarvik support. CODE: ") + code +
           QStringLiteral("\n");
}
QString succeeded(const QString &name)
{
    return QStringLiteral("Vexlume Hoop successfully updated to firmware version: ") + name +
           QStringLiteral(" Disconnect hoop and quit.\n");
}

// The programming steps the tool ran, by name, in order.
QStringList programmingRuns(const hoopsim::SimulatedHoop &hoop)
{
    QStringList steps;
    for (const hoopsim::ToolRun &run : hoop.toolRunDetails()) {
        const QString step = run.arguments.value(1);
        if (step != QStringLiteral("get"))
            steps << step;
    }
    return steps;
}

// The gaps between one programming step's end and the next one's start.
QList<qint64> gapsBetweenSteps(const hoopsim::SimulatedHoop &hoop)
{
    QList<qint64> gaps;
    qint64 previousEnd = -1;
    for (const hoopsim::ToolRun &run : hoop.toolRunDetails()) {
        if (run.arguments.value(1) == QStringLiteral("get"))
            continue;
        if (previousEnd >= 0)
            gaps << run.startNs - previousEnd;
        previousEnd = run.endNs;
    }
    return gaps;
}

// Every ending but the halt leaves the window finished: nothing can start
// another run, and nothing is still turning.
bool finished(const UpdateRig &rig)
{
    return !rig.buttonEnabled() && !rig.tableEnabled() && !rig.spinning() &&
           rig.window->spinner()->isHidden() && !rig.delegate->isRunning();
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void successThroughTheVolume()
    {
        UpdateRig rig;
        QVERIFY(rig.toolInstalled);
        rig.publishSample(QStringLiteral("hoop-fw-1.0.0"));
        rig.publishSample(QStringLiteral("hoop-fw-2.0.0"), 64 * 1024);
        QVERIFY(rig.launch());
        rig.hoop->plugInAfter(300);
        DevLogCapture log;
        QVERIFY(rig.updateAndWait());

        const QString name = QStringLiteral("hoop-fw-2.0.0");
        QCOMPARE(rig.console(), launchLines + fetching(name) + md5Passed + lookingForHoop +
                                    volumeLines + dfuDetected +
                                    QStringLiteral("Erasing...\nFlashing...\nResetting...\n"
                                                   "Starting device...\n") +
                                    succeeded(name));
        QVERIFY(finished(rig));
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Succeeded);

        // The hoop was asked once, with exactly the ten bytes, and got the image served.
        QCOMPARE(rig.hoop->requestCount(), 1);
        QCOMPARE(rig.hoop->lastRequest(), QByteArray("bootloader"));
        QCOMPARE(programmingRuns(*rig.hoop), (QStringList{"erase", "flash", "reset", "start"}));
        QCOMPARE(rig.hoop->flashedHexFile(), hoopsim::sampleFirmwareHex(name, 64 * 1024));
        for (qint64 gap : gapsBetweenSteps(*rig.hoop))
            QVERIFY2(gap >= 500'000'000, "a programming step followed the previous one too soon");

        const QStringList lines = log.lines();
        QVERIFY(lines.contains(QStringLiteral("FW URL: ") + rig.server->baseUrl() +
                               QStringLiteral("/fw-updates/") + name + QStringLiteral(".zip")));
        QVERIFY(lines.contains(QStringLiteral("FW Destination: ") + rig.destination(name)));
        QVERIFY(lines.contains(rig.path(QStringLiteral("resources/dfu-programmer"))));
        QVERIFY(lines.contains(QStringLiteral("ERASE=")));
        QVERIFY(lines.contains(QStringLiteral("START=dfu-programmer: no device present.\n")));
    }
    void endings_data()
    {
        QTest::addColumn<int>("fault"); // a hoopsim::Fault, or -1
        QTest::addColumn<QString>("catalogueCase");
        QTest::addColumn<QString>("tail"); // the console after "Detected." (or after fetching)
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<UpdateRunOutcome>("outcome");

        const QString erasing = QStringLiteral("Erasing...\n");
        const QString flashing = QStringLiteral("Flashing...\n");
        const QString resetting = QStringLiteral("Resetting...\n");
        const QString starting = QStringLiteral("Starting device...\n");
        QTest::newRow("digest does not match") << -1 << "wrong digest" << md5Failed << QStringList{}
                                               << UpdateRunOutcome::VerificationFailed;
        QTest::newRow("firmware missing on the server")
            << -1 << "missing file" << md5Failed << QStringList{}
            << UpdateRunOutcome::VerificationFailed;
        QTest::newRow("erase fails") << int(hoopsim::Fault::EraseFails) << ""
                                     << erasing + failure("10 Failure erasing device.")
                                     << QStringList{"erase"} << UpdateRunOutcome::EraseFailed;
        QTest::newRow("erase hangs past its bound")
            << int(hoopsim::Fault::HangOnErase) << ""
            << erasing + failure("10 Failure erasing device.") << QStringList{"erase"}
            << UpdateRunOutcome::EraseFailed;
        QTest::newRow("flash fails")
            << int(hoopsim::Fault::FlashFails) << ""
            << erasing + flashing + failure("20 Failure writing firmware to device.")
            << QStringList{"erase", "flash"} << UpdateRunOutcome::FlashFailed;
        QTest::newRow("reset fails")
            << int(hoopsim::Fault::ResetFails) << ""
            << erasing + flashing + resetting + failure("30 Failure resetting device.")
            << QStringList{"erase", "flash", "reset"} << UpdateRunOutcome::ResetFailed;
        QTest::newRow("start fails")
            << int(hoopsim::Fault::StartFails) << ""
            << erasing + flashing + resetting + starting + failure("40 Failure starting device.")
            << QStringList{"erase", "flash", "reset", "start"} << UpdateRunOutcome::StartFailed;
    }
    void endings()
    {
        QFETCH(int, fault);
        QFETCH(QString, catalogueCase);
        QFETCH(QString, tail);
        QFETCH(QStringList, steps);
        QFETCH(UpdateRunOutcome, outcome);

        UpdateRig rig;
        rig.config.dfuTimeouts.eraseMs = 500;
        const QString name = QStringLiteral("hoop-fw-3.1.4");
        const QString digest = rig.publishSample(name);
        if (catalogueCase == QStringLiteral("wrong digest"))
            rig.writeCatalogue(
                UpdateRig::catalogue({UpdateRig::entry(name + ".zip", MD5("other"))}));
        else if (catalogueCase == QStringLiteral("missing file"))
            rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("absent.zip", digest)}));
        QVERIFY(rig.launch());
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        rig.hoop->plugIn();
        QVERIFY(rig.updateAndWait());

        const QString shown = rig.delegate->selectedTableItemValue().value_or(QString());
        if (steps.isEmpty()) {
            QCOMPARE(rig.console(), launchLines + fetching(shown) + tail);
            QVERIFY(rig.hoop->toolRuns().isEmpty()); // the hoop is never touched
            QCOMPARE(rig.hoop->requestCount(), 0);
        } else {
            QCOMPARE(rig.console(), launchLines + fetching(shown) + md5Passed + lookingForHoop +
                                        volumeLines + dfuDetected + tail);
            // Nothing runs after the step that failed, and the pauses stand only
            // between steps that succeeded.
            QCOMPARE(programmingRuns(*rig.hoop), steps);
            const QList<qint64> gaps = gapsBetweenSteps(*rig.hoop);
            QCOMPARE(gaps.size(), steps.size() - 1);
            for (qint64 gap : gaps)
                QVERIFY(gap >= 500'000'000);
        }
        QCOMPARE(rig.delegate->lastRunOutcome(), outcome);
        QVERIFY(finished(rig));
    }
    void catalogueDigests_data()
    {
        QTest::addColumn<QStringList>("digests"); // for entries of the same name, in order
        QTest::addColumn<bool>("passes");
        QTest::newRow("lower case") << QStringList{"right"} << true;
        QTest::newRow("upper case") << QStringList{"RIGHT"} << true;
        QTest::newRow("blank around it") << QStringList{" right"} << false;
        QTest::newRow("later entry right") << QStringList{"wrong", "right"} << true;
        QTest::newRow("later entry wrong") << QStringList{"right", "wrong"} << false;
    }
    void catalogueDigests()
    {
        QFETCH(QStringList, digests);
        QFETCH(bool, passes);
        UpdateRig rig;
        rig.config.dfuTimeouts.probeMs = 2000;
        const QString name = QStringLiteral("fw");
        const QString right = rig.publishSample(name);
        QStringList entries;
        for (QString digest : digests) {
            digest.replace(QStringLiteral("right"), right)
                .replace(QStringLiteral("RIGHT"), right.toUpper())
                .replace(QStringLiteral("wrong"), MD5("not the image"));
            entries << UpdateRig::entry(QStringLiteral("fw.zip"), digest);
        }
        rig.writeCatalogue(UpdateRig::catalogue(entries));
        QVERIFY(rig.launch());
        rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
        QVERIFY(rig.updateAndWait());
        // A hoop already in its bootloader gets no request and no volume lines.
        const QString done = passes ? md5Passed + lookingForHoop + dfuDetected +
                                          QStringLiteral("Erasing...\nFlashing...\nResetting...\n"
                                                         "Starting device...\n") +
                                          succeeded(name)
                                    : md5Failed;
        QCOMPARE(rig.console(), launchLines + fetching(name) + done);
        QCOMPARE(rig.hoop->requestCount(), 0);
        QVERIFY(finished(rig));
    }
    void readOnlyVolumeHalts()
    {
        UpdateRig rig;
        const QString unsupported = hoopsim::SimulatedHoop::readOnlyVolumeUnsupportedReason(
            rig.path(QStringLiteral("tmp")));
        if (!unsupported.isEmpty())
            QSKIP(qPrintable(unsupported));
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.launch());
        rig.hoop->setFault(hoopsim::Fault::ReadOnlyVolume);
        QVERIFY(rig.hoop->plugIn());
        QVERIFY(rig.updateAndWait());

        // One line with the platform's description of the error, and nothing after it.
        const QString before = launchLines + fetching(QStringLiteral("fw")) + md5Passed +
                               lookingForHoop + volumeLines + QStringLiteral("Write error: ");
        const QString console = rig.console();
        QVERIFY2(console.startsWith(before) && console.endsWith(QStringLiteral(" Restart app.\n")),
                 qPrintable(console));
        const QString description = console.mid(before.size()).chopped(14);
        QVERIFY(!description.isEmpty() && !description.contains(QLatin1Char('\n')));
        // Halted: the run stopped where it was, still turning and still "running".
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Halted);
        QVERIFY(rig.delegate->isRunning());
        QVERIFY(rig.spinning());
        QVERIFY(!rig.buttonEnabled() && !rig.tableEnabled());
        QVERIFY(programmingRuns(*rig.hoop).isEmpty());
    }
    void missingToolAbortsTheRun()
    {
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
        QVERIFY(rig.launch());
        rig.hoop->plugIn();
        DevLogCapture log;
        QVERIFY(rig.updateAndWait());

        // The probe could not start the tool: the run ends instead of waiting,
        // and only the developer log says why.
        QCOMPARE(rig.console(),
                 launchLines + fetching(QStringLiteral("fw")) + md5Passed + lookingForHoop);
        QVERIFY(rig.delegate->dfuToolPath().isNull());
        QVERIFY(log.contains(QStringLiteral("(null)")));
        QCOMPARE(log.lines().filter(QStringLiteral("Problem Running Task: ")).size(), 1);
        QCOMPARE(rig.delegate->lastRunOutcome(), UpdateRunOutcome::Aborted);
        QVERIFY(finished(rig));
    }
    void nothingSelectedAbortsTheRun()
    {
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.launch());
        rig.delegate->setSelectedTableItemValue(std::nullopt);
        DevLogCapture log;
        QVERIFY(rig.updateAndWait());

        QCOMPARE(rig.console(), launchLines);
        QVERIFY(log.contains(QStringLiteral("ChosenFW: (null)")));
        QCOMPARE(log.lines().filter(QStringLiteral("Problem Running Task: ")).size(), 1);
        QVERIFY(rig.hoop->toolRuns().isEmpty());
        QVERIFY(finished(rig));
    }
    void closingTheWindowEndsTheProcess_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("inside a tool run that never ends") << "tool hangs";
        QTest::newRow("waiting for the hoop") << "no hoop";
        QTest::newRow("after a finished run") << "finished";
    }
    void closingTheWindowEndsTheProcess()
    {
        QFETCH(QString, situation);
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.startServer());
        int closeAfter = 1000;
        if (situation == QStringLiteral("tool hangs")) {
            rig.hoop->setFault(hoopsim::Fault::HangOnGet);
        } else if (situation == QStringLiteral("finished")) {
            rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
            closeAfter = 8000;
        }

        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(UPDATERUN_APP),
                  {rig.config.updateServerUrl, rig.config.mountRoots.first(), rig.config.resourceDir,
                   rig.config.tempDir, QString::number(closeAfter)});
        // Far longer than closing takes, far shorter than the tool's own bound.
        QVERIFY2(app.waitForFinished(60000), "the application did not end when its window closed");
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);

        const QString output = QString::fromLocal8Bit(app.readAll());
        if (situation == QStringLiteral("tool hangs")) {
            QVERIFY(!rig.hoop->toolRunDetails().isEmpty());
            QVERIFY(!rig.hoop->toolRunDetails().last().finished());
        } else if (situation == QStringLiteral("no hoop")) {
            QVERIFY(rig.hoop->toolRuns().size() >= 1);
            QVERIFY(!output.contains(QStringLiteral("Detected.")));
        } else {
            QVERIFY2(output.contains(succeeded(QStringLiteral("fw")).trimmed()),
                     qPrintable(output));
        }
    }
};

QTEST_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
