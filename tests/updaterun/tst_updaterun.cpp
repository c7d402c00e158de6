// Whole update runs through the real controller, a real update server on
// loopback and the simulated hoop: every ending, what the console says, which
// tool runs happened, what changed on disk, and the window's state afterwards.

#include "devlogcapture.h"
#include "e2eharness.h"
#include "platform/platformpaths.h"
#include "platform/privatedirectory.h"
#include "testserver.h"
#include "transcript.h"
#include "update/failureadvice.h"
#include "update/intelhex.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The line of advice the run adds after its failure line.
QString advice(UpdateRunOutcome outcome)
{
    return failureAdvice(outcome) + QStringLiteral("\n");
}

// The programming steps the tool ran, in order, with a mark where one
// followed the previous one without the pause.
QStringList programmingRuns(const hoopsim::SimulatedHoop &hoop)
{
    QStringList steps;
    qint64 previousEnd = -1;
    for (const hoopsim::ToolRun &run : hoop.toolRunDetails()) {
        // The tool's check of itself and its looks for the hoop program nothing.
        if (run.arguments.value(1) == QStringLiteral("get") ||
            run.arguments.value(0) == QStringLiteral("--version"))
            continue;
        if (previousEnd >= 0 && run.startNs - previousEnd < 500'000'000)
            steps << QStringLiteral("(no pause)");
        steps << run.arguments.value(1);
        previousEnd = run.endNs;
    }
    return steps;
}

// Every ending but the halt leaves the window finished: nothing can start
// another run, and nothing is still turning.
bool finished(const UpdateRig &rig)
{
    return !rig.buttonEnabled() && !rig.tableEnabled() && !rig.spinning() &&
           rig.window->spinner()->isHidden() && !rig.delegate->isRunning();
}

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
    UpdateRig::writeFile(rig.path(kVolume + "/hoopinfo.txt"), "Vexlume Hoop\n");
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void endings_data()
    {
        QTest::addColumn<QString>("setup");       // the image served, or what else is wrong
        QTest::addColumn<QStringList>("entries"); // "FILE MD5 [SHA-256]": "right", "wrong", ...
        QTest::addColumn<int>("fault");           // a hoopsim::Fault, or -1
        QTest::addColumn<QString>("console");     // after the launch lines
        QTest::addColumn<int>("steps");           // how many programming steps ran
        QTest::addColumn<UpdateRunOutcome>("outcome");

        using O = UpdateRunOutcome;
        using F = hoopsim::Fault;
        const QStringList fw{"older.zip wrong", "fw.zip right"}; // the newest is preselected
        const QString failed = fetchingFw + md5Failed;
        const QString done = through(4) + succeeded;
        const QString unusable = fetchingFw + md5Passed +
                                 "The firmware image can't be used for the hoop: %1. Contact "
                                 "Tarvik support.\n";
        QTest::newRow("success") << "" << fw << -1 << done << 4 << O::Succeeded;
        // A hoop already in its bootloader gets no request and no volume lines.
        QTest::newRow("upper-case digests, hoop in its bootloader")
            << "" << QStringList{"fw.zip RIGHT RIGHT"} << int(F::AlreadyInBootloader)
            << QString(done).remove(volumeLines) << 4 << O::Succeeded;
        QTest::newRow("later entry right")
            << "" << QStringList{"fw.zip wrong", "fw.zip right"} << -1 << done << 4 << O::Succeeded;
        QTest::newRow("later entry wrong") << "" << QStringList{"fw.zip right", "fw.zip wrong"}
                                           << -1 << failed << 0 << O::VerificationFailed;
        QTest::newRow("blank around the digest")
            << "" << QStringList{"fw.zip  right"} << -1 << failed << 0 << O::VerificationFailed;
        QTest::newRow("firmware missing on the server")
            << "" << QStringList{"absent.zip right"} << -1
            << QString(failed).replace("(fw)", "(absent)") << 0 << O::VerificationFailed;
        // The MD5 digest rewritten to match another image: the SHA-256 one still tells.
        QTest::newRow("SHA-256 digest differs")
            << "" << QStringList{"fw.zip right wrong"} << -1
            << fetchingFw + md5Passed +
                   "The firmware image does not match the SHA-256 digest in the firmware list. "
                   "Verify proper internet connectivity, and try again. Or contact Tarvik "
                   "support.\n"
            << 0 << O::ImageRefused;
        // SHA-256 alone binds the image as well; an entry with no digest at all
        // is refused before anything is downloaded.
        QTest::newRow("SHA-256 digest alone")
            << "" << QStringList{"fw.zip none right"} << -1
            << QString(done).replace(md5Passed, "SHA-256 check passed\n") << 4 << O::Succeeded;
        QTest::newRow("SHA-256 digest alone differs")
            << "" << QStringList{"fw.zip none wrong"} << -1
            << fetchingFw +
                   "The firmware image does not match the SHA-256 digest in the firmware list. "
                   "Verify proper internet connectivity, and try again. Or contact Tarvik "
                   "support.\n"
            << 0 << O::VerificationFailed;
        QTest::newRow("no digest")
            << "" << QStringList{"older.zip right", "fw.zip none"} << -1
            << "The firmware list gives no MD5 or SHA-256 digest for fw, so it can't be checked "
               "and is not downloaded. Contact Tarvik support.\n"
            << 0 << O::VerificationFailed;
        // Images that match their digests but that the hoop can't take: refused
        // before the hoop is waited for, asked to reboot or erased.
        QTest::newRow("random bytes")
            << "random bytes" << fw << -1
            << unusable.arg("not Intel HEX, line 1: record does not start with ':'") << 0
            << O::ImageRefused;
        QTest::newRow("data past the end of the flash")
            << "past the end" << fw << -1
            << unusable.arg("data at 0x80040000 lies past the end of the hoop's flash") << 0
            << O::ImageRefused;
        // The tool leaves out what an image holds for the bootloader's area.
        QTest::newRow("whole-chip image") << "whole chip" << fw << -1 << done << 4 << O::Succeeded;
        QTest::newRow("image cannot be stored")
            << "no temp" << fw << -1
            << fetchingFw + md5Passed +
                   "The firmware image could not be stored for flashing: there is no private "
                   "directory to keep it in\n"
            << 0 << O::ImageNotStored;
        QTest::newRow("erase fails")
            << "" << fw << int(F::EraseFails)
            << through(1) + failure("10 Failure erasing device.") + advice(O::EraseFailed) << 1
            << O::EraseFailed;
        QTest::newRow("erase hangs past its bound")
            << "" << fw << int(F::HangOnErase)
            << through(1) + failure("10 Failure erasing device.") + advice(O::EraseFailed) << 1
            << O::EraseFailed;
        QTest::newRow("flash fails")
            << "" << fw << int(F::FlashFails)
            << through(2) + failure("20 Failure writing firmware to device.") +
                   advice(O::FlashFailed)
            << 2 << O::FlashFailed;
        QTest::newRow("reset fails")
            << "" << fw << int(F::ResetFails)
            << through(3) + failure("30 Failure resetting device.") + advice(O::ResetFailed) << 3
            << O::ResetFailed;
        QTest::newRow("start fails")
            << "" << fw << int(F::StartFails)
            << through(4) + failure("40 Failure starting device.") + advice(O::StartFailed) << 4
            << O::StartFailed;
        // The probe cannot start the tool: the run says so and ends instead of waiting.
        const QString noTool = fetchingFw + md5Passed + lookingForHoop +
                               "The bundled dfu-programmer can't be started: %1. Reinstall the "
                               "application.\n" +
                               advice(O::ToolUnavailable);
        QTest::newRow("tool missing")
            << "no tool" << fw << -1 << noTool.arg("it is missing from the program's resources")
            << 0 << O::ToolUnavailable;
        QTest::newRow("tool not executable")
            << "tool not executable" << fw << -1 << noTool.arg("%1 is not an executable file") << 0
            << O::ToolUnavailable;
        // A tool that is there but can't run is found out before the hoop is asked to restart.
        const QString loader = QStringLiteral(
            "%1: error while loading shared libraries: libusb-1.0.so.0: cannot open shared "
            "object file: No such file or directory");
        QTest::newRow("tool can't be loaded")
            << "tool: echo \"" + QString(loader).replace("%1", "$0") + "\" >&2; exit 127" << fw
            << -1 << noTool.arg("%1 exited with status 127 (" + loader + ")") << 0
            << O::ToolUnavailable;
        QTest::newRow("tool can't be executed")
            << "tool: exit 126" << fw << -1 << noTool.arg("%1 exited with status 126") << 0
            << O::ToolUnavailable;
        QTest::newRow("tool killed by a signal")
            << "tool: kill -SEGV $$" << fw << -1 << noTool.arg("%1 was ended by a signal") << 0
            << O::ToolUnavailable;
        QTest::newRow("tool says no version")
            << "tool: exit 1" << fw << -1 << noTool.arg("%1 does not say which version it is") << 0
            << O::ToolUnavailable;
        QTest::newRow("tool breaks in the wait")
            << "tool: [ \"$1\" = --version ] && { echo 'dfu-programmer 0.6.1' >&2; exit 1; }; "
               "exit 127"
            << fw << -1 << noTool.arg("%1 exited with status 127") << 0 << O::ToolUnavailable;
        QTest::newRow("nothing selected")
            << "nothing selected" << fw << -1 << QString() << 0 << O::Aborted;
    }
    void endings()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, entries);
        QFETCH(int, fault);
        QFETCH(QString, console);
        QFETCH(int, steps);
        QFETCH(UpdateRunOutcome, outcome);

        UpdateRig rig;
        rig.config.dfuTimeouts.eraseMs = 500;
        // Neither mount root exists at the start; the second appears with the hoop's volume.
        QVERIFY(QDir(rig.path(QStringLiteral("media"))).removeRecursively());
        rig.config.mountRoots = {rig.path(QStringLiteral("run-media")),
                                 rig.path(QStringLiteral("media"))};
        QByteArray served = hoopsim::sampleFirmwareHex("fw", 64 * 1024);
        if (setup == QStringLiteral("random bytes")) {
            quint32 state = 1;
            for (char &c : served)
                c = char((state = state * 1103515245u + 12345u) >> 24);
            served[0] = 'x';
        } else if (setup == QStringLiteral("past the end")) {
            served = QByteArray::fromStdString(
                writeIntelHex(0x8003ff00u, std::vector<std::uint8_t>(0x200, 0x5a)));
        } else if (setup == QStringLiteral("whole chip")) {
            served = QByteArray::fromStdString(
                writeIntelHex(0x80000000u, std::vector<std::uint8_t>(0x3000, 0xa5)));
        }
        QVERIFY(UpdateRig::writeFile(rig.path(QStringLiteral("firmware/fw.zip")), served));
        const QString right = MD5(served);
        const QString sha = QString::fromLatin1(
            QCryptographicHash::hash(served, QCryptographicHash::Sha256).toHex());
        QStringList xml;
        for (const QString &entry : entries) {
            QString line =
                UpdateRig::entry(entry.section(' ', 0, 0),
                                 entry.section(' ', 1, 1, QString::SectionIncludeLeadingSep)
                                     .mid(1)
                                     .replace(QStringLiteral("right"), right)
                                     .replace(QStringLiteral("RIGHT"), right.toUpper())
                                     .replace(QStringLiteral("wrong"), MD5("other")));
            const QString strong = entry.section(' ', 2, 2);
            if (!strong.isEmpty())
                line.replace(QStringLiteral("/>"),
                             QStringLiteral(" SHA256=\"%1\"/>")
                                 .arg(strong == QStringLiteral("wrong")   ? QString(64, u'0')
                                      : strong == QStringLiteral("RIGHT") ? sha.toUpper()
                                                                          : sha));
            xml << line.remove(QStringLiteral(" MD5=\"none\""));
        }
        rig.writeCatalogue(UpdateRig::catalogue(xml));
        const QString tool = rig.path(QStringLiteral("resources/dfu-programmer"));
        if (setup == QStringLiteral("no tool"))
            QVERIFY(QFile::remove(tool));
        if (setup == QStringLiteral("tool not executable"))
            QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner));
        if (setup.startsWith(QStringLiteral("tool: "))) {
            QVERIFY(QFile::remove(tool));
            QVERIFY(UpdateRig::writeFile(tool, "#!/bin/sh\n" + setup.mid(6).toUtf8() + "\n"));
            QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner));
        }
        console.replace(QStringLiteral("%1"), tool);
        if (setup == QStringLiteral("no temp"))
            rig.config.tempDir.clear();
        QVERIFY(rig.launch());
        if (setup == QStringLiteral("nothing selected"))
            rig.delegate->setSelectedTableItemValue(std::nullopt);
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        DevLogCapture log;
        // Plugged in only once the run waits for it.
        QVERIFY(rig.updateAndWait(60000, fault != int(hoopsim::Fault::AlreadyInBootloader)));

        QCOMPARE(rig.console(), launchLines + console);
        QCOMPARE(programmingRuns(*rig.hoop),
                 QStringList({"erase", "flash", "reset", "start"}).mid(0, steps));
        if (!console.contains(lookingForHoop))
            QVERIFY(rig.hoop->toolRuns().isEmpty());
        if (!console.contains(fetchingFw))
            QVERIFY(!QFile::exists(rig.path(kDownload + "/fw.hex")));
        // Asked once, with exactly the ten bytes; a flash that went through holds the image served.
        QCOMPARE(rig.hoop->requestCount(), console.contains(volumeLines) ? 1 : 0);
        if (rig.hoop->requestCount() > 0)
            QCOMPARE(rig.hoop->lastRequest(), QByteArray("bootloader"));
        if (steps >= 3)
            QCOMPARE(rig.hoop->flashedHexFile(), served);
        QCOMPARE(rig.delegate->updateRunner().outcome(), outcome);
        QVERIFY(finished(rig));

        const QStringList lines = log.lines();
        if (outcome == UpdateRunOutcome::Aborted || outcome == UpdateRunOutcome::ToolUnavailable) {
            // The developer log says why, once.
            QCOMPARE(lines.filter(QStringLiteral("Problem Running Task: ")).size(), 1);
            // A missing tool is logged as a null path; nothing chosen as a null entry.
            if (setup == QStringLiteral("no tool"))
                QVERIFY(lines.contains(QStringLiteral("(null)")));
            else if (outcome == UpdateRunOutcome::Aborted)
                QVERIFY(lines.contains(QStringLiteral("ChosenFW: (null)")));
        } else if (outcome == UpdateRunOutcome::Succeeded) {
            QVERIFY(lines.contains(QStringLiteral("FW URL: ") + rig.server->baseUrl() +
                                   QStringLiteral("/fw-updates/fw.zip")));
            QVERIFY(lines.contains(QStringLiteral("FW Destination: ") +
                                   rig.path(kDownload + "/fw.hex")));
            QVERIFY(lines.contains(rig.path(QStringLiteral("resources/dfu-programmer"))));
            QVERIFY(lines.contains(QStringLiteral("ERASE=")));
            QVERIFY(lines.contains(QStringLiteral("START=dfu-programmer: no device present.")));
        }
    }
    void closingTheWindowEndsTheProcess_data()
    {
        QTest::addColumn<int>("fault"); // or -1: none; -2: the bundled tool
        QTest::addColumn<int>("closeAfter");
        QTest::newRow("inside a tool run that never ends")
            << int(hoopsim::Fault::HangOnGet) << 1000;
        QTest::newRow("waiting for the hoop") << -1 << 1000;
        // 0: once the run has ended.
        QTest::newRow("after a finished run") << int(hoopsim::Fault::AlreadyInBootloader) << 0;
        // The real tool, found where the program's own resources are, finds no hoop.
        QTest::newRow("waiting with the bundled tool") << -2 << 1000;
        // A server that trickles its catalogue holds the check for minutes.
        QTest::newRow("while the launch check waits") << -3 << -500;
    }
    void closingTheWindowEndsTheProcess()
    {
        QFETCH(int, fault);
        QFETCH(int, closeAfter);
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.startServer());
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        TestServer trickling;
        trickling.http().Get(
            "/fw-updates/updates.xml", [](const httplib::Request &, httplib::Response &response) {
                response.set_chunked_content_provider(
                    "text/xml", [](size_t offset, httplib::DataSink &sink) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(500));
                        return offset < 600 && sink.write(" ", 1);
                    });
            });
        if (fault == -3) {
            trickling.start();
            rig.config.updateServerUrl = trickling.url(QString());
        }
        QProcess app;
        app.setProcessChannelMode(QProcess::MergedChannels);
        const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
        if (fault == -2 && bundled.isEmpty())
            QSKIP("install the dfu-programmer package");
        app.start(QStringLiteral(UPDATERUN_APP),
                  {rig.config.updateServerUrl, rig.config.mountRoots.first(),
                   fault == -2 ? QStringLiteral("-") : rig.config.resourceDir, rig.config.tempDir,
                   QString::number(closeAfter)});
        // Far longer than closing takes, far shorter than the tool's own bound.
        QVERIFY2(app.waitForFinished(60000), "the application did not end when its window closed");
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);

        const QString output = QString::fromLocal8Bit(app.readAll());
        if (fault == -3) {
            QVERIFY2(!output.contains(QStringLiteral("Select a firmware")), qPrintable(output));
            return;
        }
        if (fault == -2) {
            QVERIFY2(output.contains(bundled) && !output.contains("Problem Running Task"),
                     qPrintable(output));
            return;
        }
        const QList<hoopsim::ToolRun> runs = rig.hoop->toolRunDetails();
        QVERIFY(!runs.isEmpty());
        if (fault == int(hoopsim::Fault::HangOnGet))
            QVERIFY(!runs.last().finished());
        else if (fault < 0)
            QVERIFY(!output.contains(QStringLiteral("Detected.")));
        else
            QVERIFY2(output.contains(succeeded.trimmed()), qPrintable(output));
    }

    // A quit while the hoop is being programmed waits for the hoop, however
    // it comes; one while the program waits for the hoop acts at once.
    void quittingWhileProgramming_data()
    {
        QTest::addColumn<QString>("how"); // "close", "quit", or a signal's number
        QTest::addColumn<int>("hang");    // the step that hangs until released; -1: none
        QTest::addColumn<int>("status");
        using F = hoopsim::Fault;
        QTest::newRow("close during the erase") << "close" << int(F::HangOnErase) << 0;
        QTest::newRow("Quit during the flash") << "quit" << int(F::HangOnFlash) << 0;
        QTest::newRow("SIGTERM during the erase") << "15" << int(F::HangOnErase) << 143;
        QTest::newRow("SIGHUP during the flash") << "1" << int(F::HangOnFlash) << 129;
        QTest::newRow("SIGINT during the start") << "2" << int(F::HangOnStart) << 130;
        QTest::newRow("SIGTERM during the wait") << "15" << -1 << 143;
    }
    void quittingWhileProgramming()
    {
        QFETCH(QString, how);
        QFETCH(int, hang);
        QFETCH(int, status);
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.startServer());
        if (hang >= 0) {
            rig.hoop->setFault(hoopsim::Fault(hang));
            rig.hoop->plugIn();
        }
        const int signal = how.toInt();
        QProcess app;
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(UPDATERUN_APP),
                  {rig.config.updateServerUrl, rig.config.mountRoots.first(),
                   rig.config.resourceDir, rig.config.tempDir,
                   signal ? QStringLiteral("stay") : how});
        QVERIFY(app.waitForStarted());
        QString output;
        const auto waitFor = [&](const QString &text) {
            QDeadlineTimer bound(30000);
            while (!output.contains(text) && !bound.hasExpired() &&
                   app.state() == QProcess::Running) {
                app.waitForReadyRead(100);
                output += QString::fromLocal8Bit(app.readAll());
            }
            return output.contains(text);
        };
        const QString step = hang == int(hoopsim::Fault::HangOnErase)   ? "Erasing...\n"
                             : hang == int(hoopsim::Fault::HangOnFlash) ? "Flashing...\n"
                             : hang >= 0                                ? "Starting device...\n"
                                                                        : lookingForHoop;
        QVERIFY2(waitFor(step), qPrintable(output));
        if (signal)
            QVERIFY(::kill(pid_t(app.processId()), signal) == 0);
        if (hang >= 0) {
            const QString deferred = QStringLiteral("Quitting as soon as the hoop is programmed.");
            QVERIFY2(waitFor(deferred), qPrintable(output));
            // A second request cuts nothing short either.
            if (signal)
                QVERIFY(::kill(pid_t(app.processId()), signal) == 0);
            // A while in which the program must not end: the hoop is still being written.
            QTest::qWait(300);
            QCOMPARE(app.state(), QProcess::Running);
            QVERIFY(!rig.hoop->toolRunDetails().last().finished());
            output += QString::fromLocal8Bit(app.readAll());
            QCOMPARE(output.count(deferred), 1);
            rig.hoop->setFault(hoopsim::Fault(hang), false);
        }
        QVERIFY2(app.waitForFinished(60000), qPrintable(output));
        output += QString::fromLocal8Bit(app.readAll());
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), status);
        if (hang >= 0) {
            // Programmed and started, then quit.
            QVERIFY2(output.contains(succeeded.trimmed()), qPrintable(output));
            QCOMPARE(programmingRuns(*rig.hoop), QStringList({"erase", "flash", "reset", "start"}));
            QCOMPARE(rig.hoop->flashedHexFile(), hoopsim::sampleFirmwareHex("fw", 8 * 1024));
        } else {
            QVERIFY(rig.hoop->toolRuns().filter(QStringLiteral("erase")).isEmpty());
        }
    }

    // What a run leaves behind: only the firmware file in a private download
    // directory and the request on the hoop's volume may change, whatever the
    // ending and whatever another user of the machine put in the way.
    void onlyItsPlacesChange_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<QString>("setup"); // what else is wrong, if anything
        QTest::addColumn<int>("fault");     // a hoopsim::Fault, or -1
        QTest::addColumn<UpdateRunOutcome>("outcome");
        QTest::addColumn<QStringList>("changes");

        using O = UpdateRunOutcome;
        const QString image = kDownload + QStringLiteral("/fw.hex");
        const QString request = kVolume + QStringLiteral("/runnow.cfg");
        const QStringList both{request, image};
        // A fresh directory of our own beside the one we could not trust.
        const QStringList fresh{request, kDownload + "-XXXXXX", kDownload + "-XXXXXX/fw.hex"};
        const QString none;
        QTest::newRow("success") << "fw" << none << -1 << O::Succeeded << both;
        // Refused before the download: nothing to check it against.
        QTest::newRow("entry without a digest")
            << "nodigest" << none << -1 << O::VerificationFailed << QStringList{};
        QTest::newRow("firmware missing on the server")
            << "absent" << none << -1 << O::VerificationFailed << QStringList{};
        // Unwritable even for root, which permission bits do not stop.
        QTest::newRow("download directory cannot be made")
            << "fw" << QString("download directory is a file") << -1 << O::ImageNotStored
            << QStringList{};
        QTest::newRow("no private temporary directory")
            << "fw" << QString("no temp") << -1 << O::ImageNotStored << QStringList{};
        // Another user's directory needs root (as in CI); that row is skipped elsewhere.
        QTest::newRow("download directory another user's")
            << "fw" << QString("nobody 0755") << -1 << O::Succeeded << fresh;
        QTest::newRow("download directory writable by others")
            << "fw" << QString("ours 0777") << -1 << O::Succeeded << fresh;
        QTest::newRow("a link in the download directory's place")
            << "fw" << QString("dir link") << -1 << O::Succeeded << fresh;
        QTest::newRow("a link in the image's place")
            << "fw" << QString("image link") << -1 << O::Succeeded << both;
        QTest::newRow("tool missing")
            << "fw" << QString("no tool") << -1 << O::ToolUnavailable << QStringList{image};
        // Nor can a file be listed: no volume is found and nothing is created
        // there, and a hoop already in its bootloader is still updated.
        QTest::newRow("mount root is a file")
            << "fw" << QString("mount root is a file") << int(hoopsim::Fault::AlreadyInBootloader)
            << O::Succeeded << QStringList{image};
        QTest::newRow("flash fails")
            << "fw" << none << int(hoopsim::Fault::FlashFails) << O::FlashFailed << both;
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
        const QString download = rig.path(kDownload), decoy = rig.path("tmp/decoy");
        if (setup == QStringLiteral("no tool"))
            QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
        if (setup == QStringLiteral("mount root is a file")) {
            rig.config.mountRoots = {rig.path(QStringLiteral("media/not-a-directory"))};
            UpdateRig::writeFile(rig.config.mountRoots.first(), "a file");
        }
        if (setup == QStringLiteral("no temp"))
            rig.config.tempDir.clear();
        if (setup == QStringLiteral("dir link"))
            QVERIFY(QDir().mkpath(decoy) && QFile::link(decoy, download));
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        // Neighbours the run must leave alone: an earlier download of each image,
        // another program's files, another volume and the hoop's own files.
        if (setup == QStringLiteral("download directory is a file")) {
            // A file in the bundle directory's place would only be stepped around.
            rig.config.tempDir = download;
            UpdateRig::writeFile(download, "not a directory");
        } else {
            for (const char *name : {"fw.hex", "nodigest.hex", "absent.hex", "other.hex"})
                UpdateRig::writeFile(download + "/" + QLatin1String(name), "an earlier download");
        }
        if (setup == QStringLiteral("image link")) {
            QVERIFY(QFile::remove(download + "/fw.hex"));
            UpdateRig::writeFile(decoy, "an image nobody checked");
            QVERIFY(QFile::link(decoy, download + "/fw.hex"));
        }
        if (setup.startsWith("nobody") || setup.startsWith("ours"))
            QVERIFY(::chmod(QFile::encodeName(download), setup.right(4).toUInt(nullptr, 8)) == 0);
        if (setup.startsWith("nobody")) {
            if (::geteuid() != 0)
                QSKIP("only root can give a directory to another user");
            const passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody &&
                    ::chown(QFile::encodeName(download), nobody->pw_uid, nobody->pw_gid) == 0);
        }
        UpdateRig::writeFile(rig.path(QStringLiteral("tmp/other-program/.state")), "keep");
        UpdateRig::writeFile(rig.path(QStringLiteral("media/USB STICK/notes.txt")), "keep");
        UpdateRig::writeFile(rig.path(kVolume + QStringLiteral("/patterns/1.bin")), "keep");
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
        QCOMPARE(rig.delegate->updateRunner().outcome(), outcome);
        // The image checked is the one flashed.
        if (outcome == UpdateRunOutcome::Succeeded)
            QCOMPARE(rig.hoop->flashedHexFile(), hoopsim::sampleFirmwareHex("fw", 8 * 1024));

        const QMap<QString, QByteArray> after = snapshot(rig);
        QStringList found;
        for (const QString &path : QSet<QString>(before.keyBegin(), before.keyEnd()) +
                                       QSet<QString>(after.keyBegin(), after.keyEnd())) {
            if (before.value(path) != after.value(path))
                found << QString(path).replace(QRegularExpression("(-test)-\\w{6}"), "\\1-XXXXXX");
        }
        found.sort();
        // The download directory says whose it is, for the clean-up after a crash.
        for (const QString &path : found.filter(QRegularExpression("/owner$"))) {
            QVERIFY(!QFileInfo(rig.path(path)).isSymLink());
            found.removeOne(path);
        }
        QCOMPARE(found, changes);
    }
    // The window closes in the states where no run is blocked; a failed request
    // halts the run where it was.
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
            // One line with the platform's description of the error, and nothing after it.
            const QRegularExpression tail(
                QStringLiteral("\nRebooting in DFU mode...\nWrite error: [^\n]+ Restart app.\n$"));
            QVERIFY2(tail.match(rig.console()).hasMatch(), qPrintable(rig.console()));
            // Halted: the run stopped where it was, still turning and still "running".
            QCOMPARE(rig.delegate->updateRunner().outcome(), UpdateRunOutcome::Halted);
            QVERIFY(rig.delegate->isRunning() && rig.spinning());
            QVERIFY(!rig.buttonEnabled() && !rig.tableEnabled());
            QVERIFY(programmingRuns(*rig.hoop).isEmpty());
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

    void platformTempDirIsPrivate()
    {
        const QString directory = privateTempDir();
        QVERIFY2(directory.isEmpty() || privateDirectoryProblem(directory).isEmpty(),
                 qPrintable(privateDirectoryProblem(directory)));
    }
};

QTEST_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
