// The update from a terminal: the shipped program's entry with --cli, run as
// a child process against a loopback update server and the simulated hoop.
// What it prints, how it ends, Ctrl+C, and a station of several hoops.

#include "app/buildconfig.h"
#include "app/commandline.h"
#include "clichild.h"
#include "e2eharness.h"
#include "transcript.h"
#include "update/failureadvice.h"
#include "update/intelhex.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The line of advice both modes add after a failed programming step.
QString advice(UpdateRunOutcome outcome)
{
    return failureAdvice(outcome) + QStringLiteral("\n");
}

QByteArray hexImage(quint32 address, int size)
{
    return QByteArray::fromStdString(
        writeIntelHex(address, std::vector<std::uint8_t>(std::size_t(size), 0x3c)));
}

// "older" and "fw" published, "fw" the newest; a hoop volume for the request.
void publish(UpdateRig &rig, bool digestsRight = true)
{
    rig.hoop->setFastMode(true);
    const QString fw = rig.publishSample(QStringLiteral("fw"));
    const QString older = rig.publishSample(QStringLiteral("older"));
    rig.writeCatalogue(
        UpdateRig::catalogue({UpdateRig::entry("older.zip", older),
                              UpdateRig::entry("fw.zip", digestsRight ? fw : MD5("other"))}));
}

// Signs the rig's catalogue with a key minisign makes for it; the public key.
QString signCatalogue(const UpdateRig &rig)
{
    const QString key = rig.path(QStringLiteral("hoop.key")), pub = rig.path("hoop.pub");
    if (QProcess::execute("minisign", {"-G", "-W", "-p", pub, "-s", key}) != 0 ||
        QProcess::execute("minisign", {"-S", "-s", key, "-m",
                                       rig.path(QStringLiteral("firmware/updates.xml"))}) != 0)
        return {};
    QFile file(pub);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().split('\n').value(1))
                                          : QString();
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    // What the parser refuses, and what it makes of the rest.
    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // empty: taken
        QTest::addColumn<int>("action");
        using A = CommandLine::Action;
        QTest::newRow("a file for the window") << QStringList{"x.hex"} << "" << int(A::Window);
        QTest::newRow("help in the window's place") << QStringList{"--help"} << "" << int(A::Help);
        QTest::newRow("two files") << QStringList{"a.hex", "b.hex"} << "Only one" << int(A::Error);
        QTest::newRow("terminal option without --cli")
            << QStringList{"--repeat"} << "--repeat needs --cli." << int(A::Error);
        QTest::newRow("timeout of 0")
            << QStringList{"--cli", "--timeout", "0"} << "--timeout needs" << int(A::Error);
        QTest::newRow("timeout not a number")
            << QStringList{"--cli", "--timeout", "1s"} << "--timeout needs" << int(A::Error);
        QTest::newRow("an entry and a file")
            << QStringList{"--cli", "--firmware", "fw", "x.hex"} << "either" << int(A::Error);
        QTest::newRow("list and repeat")
            << QStringList{"--cli", "--list", "--repeat"} << "--list takes" << int(A::Error);
        QTest::newRow("station with a limit")
            << QStringList{"--cli", "--repeat", "--timeout", "30"} << "" << int(A::Terminal);
        QTest::newRow("parallel without repeat")
            << QStringList{"--cli", "--parallel"} << "--parallel needs --repeat." << int(A::Error);
        QTest::newRow("log one hoop at a time") << QStringList{"--cli", "--repeat", "--log", "x"}
                                                << "--log needs --parallel." << int(A::Error);
        QTest::newRow("log of no name") << QStringList{"--cli", "--repeat", "--parallel", "--log="}
                                        << "--log needs the name" << int(A::Error);
        QTest::newRow("parallel station with its log")
            << QStringList{"--cli", "--repeat", "--parallel", "--log", "x"} << ""
            << int(A::Terminal);
    }
    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(int, action);
        const CommandLine line = parseCommandLine(QStringList{"hoop-updater"} + arguments);
        QCOMPARE(int(line.action), action);
        QVERIFY2(error.isEmpty() ? line.error.isEmpty() : line.error.contains(error),
                 qPrintable(line.error));
        if (arguments.contains(QStringLiteral("--timeout")) && error.isEmpty())
            QCOMPARE(line.timeoutSeconds, 30);
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("fault"); // a hoopsim::Fault, or -1
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out"); // standard output, whole; "*" first: its end only

        using F = hoopsim::Fault;
        const QString done = launchLines + through(4) + succeeded;
        const QString stopped = launchLines + fetchingFw + md5Passed + lookingForHoop;
        const QStringList none;
        QTest::newRow("updated") << none << "" << -1 << 0 << done;
        QTest::newRow("another entry by name")
            << QStringList{"--firmware", "older"} << "" << -1 << 0
            << QString(done).replace("(fw)", "(older)").replace("version: fw", "version: older");
        QTest::newRow("erase fails")
            << none << "" << int(F::EraseFails) << 10
            << launchLines + through(1) + failure("10 Failure erasing device.") +
                   advice(UpdateRunOutcome::EraseFailed);
        QTest::newRow("flash fails")
            << none << "" << int(F::FlashFails) << 20
            << launchLines + through(2) + failure("20 Failure writing firmware to device.") +
                   advice(UpdateRunOutcome::FlashFailed);
        QTest::newRow("reset fails")
            << none << "" << int(F::ResetFails) << 30
            << launchLines + through(3) + failure("30 Failure resetting device.") +
                   advice(UpdateRunOutcome::ResetFailed);
        QTest::newRow("start fails")
            << none << "" << int(F::StartFails) << 40
            << launchLines + through(4) + failure("40 Failure starting device.") +
                   advice(UpdateRunOutcome::StartFailed);
        // Signed by minisign: the list that was signed is taken, a changed one is not.
        QTest::newRow("signed list") << none << "signed" << -1 << 0 << done;
        QTest::newRow("list changed after signing")
            << none << "signed, then changed" << -1 << 2
            << "Checking for updates...\nThe firmware list's signature does not verify: the "
               "signature does not match the list.\nUnable to check for latest firmware. Check "
               "your internet connection and restart the app.\n";
        // The cause, then the long-standing line; --list says so on standard error.
        QTest::newRow("no catalogue")
            << none << "no server" << -1 << 2
            << "Checking for updates...\nThe update server 127.0.0.1 port 1 refused the "
               "connection.\nUnable to check for latest firmware. Check your internet connection "
               "and restart the app.\n";
        QTest::newRow("list, a sign-in page instead")
            << QStringList{"--list"} << "sign-in page" << -1 << 2
            << "*Checking for updates...\nThe update server's reply is not a firmware list: it is "
               "a web page (HTML), perhaps a network's sign-in page.\nUnable to check for latest "
               "firmware. Check your internet connection and restart the app.\n";
        QTest::newRow("digest differs")
            << none << "wrong digest" << -1 << 3 << launchLines + fetchingFw + md5Failed;
        QTest::newRow("file refused")
            << QStringList{"%file"} << "file past the end" << -1 << 3
            << "*: data at 0x80040000 lies past the end of the hoop's flash\n";
        QTest::newRow("file from disk")
            << QStringList{"%file"} << "file" << -1 << 0
            << "*fw.hex\nChecking for Vexlume Hoop... Turn on your hoop and plug it in via USB "
               "now.\n" +
                   volumeLines + dfuDetected +
                   "Erasing...\nFlashing...\nResetting...\nStarting device...\n" + succeeded;
        QTest::newRow("request not written")
            << none << "request blocked" << -1 << 4 << "*Rebooting in DFU mode...\nWrite error: ";
        QTest::newRow("no hoop in time")
            << QStringList{"--timeout", "1"} << "" << int(F::NeverAppears) << 5
            << stopped + "No Vexlume Hoop appeared within 1 seconds.\n";
        QTest::newRow("tool missing")
            << none << "no tool" << -1 << 1
            << stopped +
                   "The bundled dfu-programmer can't be started: it is missing from the "
                   "program's resources. Reinstall the application.\n" +
                   advice(UpdateRunOutcome::ToolUnavailable);
        QTest::newRow("no bootloader in time")
            << QStringList{"--timeout", "1"} << "volume only" << int(F::NeverAppears) << 5
            << stopped + "Vexlume Hoop detected, volume label: OTHER\nRebooting in DFU mode...\n"
                         "Checking for hoop in DFU mode... \nThe hoop did not answer in DFU "
                         "mode within 1 seconds.\n";
        QTest::newRow("tool is a directory")
            << none << "tool is a directory" << -1 << 1
            << stopped +
                   "The bundled dfu-programmer can't be started: it is missing from the "
                   "program's resources. Reinstall the application.\n" +
                   advice(UpdateRunOutcome::ToolUnavailable);
        QTest::newRow("image can't be stored")
            << none << "temp dir unusable" << -1 << 1
            << launchLines + fetchingFw + md5Passed +
                   "The firmware image could not be stored for flashing: there is no private "
                   "directory to keep it in\n";
        QTest::newRow("libcurl missing")
            << none << "no libcurl" << -1 << 2
            << "Checking for updates...\nThe firmware list could not be fetched: libcurl could "
               "not be loaded.\nUnable to check for latest firmware. Check your internet "
               "connection and restart the app.\n";
        // The station ends as a single run does when nothing can be flashed.
        const QStringList station{"--repeat", "--timeout", "1"};
        QTest::newRow("station, image refused")
            << station << "wrong digest" << -1 << 3 << launchLines + fetchingFw + md5Failed;
        QTest::newRow("station, tool missing")
            << station << "no tool" << -1 << 1
            << stopped + "The bundled dfu-programmer can't be started: it is missing from the "
                         "program's resources. Reinstall the application.\n";
        QTest::newRow("station, no hoop")
            << station << "" << int(F::NeverAppears) << 5
            << stopped + "No Vexlume Hoop appeared within 1 seconds.\n";
        QTest::newRow("tool from the system's directory")
            << none << "system tool" << -1 << 0 << done;
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "" << -1 << 64 << QString();
        QTest::newRow("no such entry")
            << QStringList{"--firmware", "nope"} << "" << -1 << 64 << "Checking for updates...\n";
        QTest::newRow("list") << QStringList{"--list"} << "" << -1 << 0
                              << "older  1  2026-12-01  test\nfw     1  2026-12-01  test\n";
        // libcurl binds as usual when a preloaded library stands in for some
        // of what it calls: one function from two allocators is a crash.
        QTest::newRow("list, a library preloaded")
            << QStringList{"--list"} << "preloaded" << -1 << 0
            << "older  1  2026-12-01  test\nfw     1  2026-12-01  test\n";
    }
    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, setup);
        QFETCH(int, fault);
        QFETCH(int, status);
        QFETCH(QString, out);

        UpdateRig rig;
        publish(rig, setup != QStringLiteral("wrong digest"));
        if (setup == QStringLiteral("sign-in page"))
            rig.writeCatalogue(QStringLiteral("<!DOCTYPE html>\n<html><body><form>Sign in to the "
                                              "hotel network</form></body></html>"));
        if (setup == QStringLiteral("no server"))
            rig.config.updateServerUrl = QStringLiteral("http://127.0.0.1:1");
        else
            QVERIFY(rig.startServer());
        if (setup == QStringLiteral("no tool"))
            QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
        const QString file = rig.path(QStringLiteral("fw.hex"));
        UpdateRig::writeFile(file, setup == QStringLiteral("file past the end")
                                       ? hexImage(0x8003fff0u, 32)
                                       : hexImage(0x80002000u, 512));
        arguments.replaceInStrings(QStringLiteral("%file"), file);
        if (setup == QStringLiteral("request blocked"))
            QVERIFY(QDir().mkpath(rig.path(QStringLiteral("media/VEXLUME HOOP/runnow.cfg"))));
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        QProcess cli;
        QProcessEnvironment env = environmentFor(rig);
        if (setup == QStringLiteral("system tool")) {
            const QString dir = rig.path(QStringLiteral("usr/bin"));
            QVERIFY(QDir().mkpath(dir) && rig.hoop->installTool(dir));
            QVERIFY(QFile::remove(rig.path(QStringLiteral("resources/dfu-programmer"))));
            env.insert(QStringLiteral("HOOPTEST_SYSTEM_TOOL_DIRS"), dir);
        }
        if (setup.startsWith(QStringLiteral("signed"))) {
            env.insert(QStringLiteral("HOOPTEST_PUBLIC_KEYS"), signCatalogue(rig));
            env.insert(QStringLiteral("XDG_STATE_HOME"), rig.path(QStringLiteral("state")));
            if (setup.endsWith(QStringLiteral("changed")))
                publish(rig, false);
        }
        if (setup == QStringLiteral("temp dir unusable"))
            env.insert(QStringLiteral("HOOPTEST_TEMP_DIR"), file);
        if (setup == QStringLiteral("tool is a directory")) {
            const QString tool = rig.path(QStringLiteral("resources/dfu-programmer"));
            QVERIFY(QFile::remove(tool) && QDir().mkpath(tool));
        }
        if (setup == QStringLiteral("volume only")) {
            // A volume the simulated hoop knows nothing of: asked, it never restarts.
            UpdateRig::writeFile(rig.path(QStringLiteral("media/OTHER/hoopinfo.txt")), "x\n");
        }
        if (setup == QStringLiteral("no libcurl")) {
            // Found first on the loader's path, and not a library.
            for (const char *name : {"lib/libcurl.so.4", "lib/libcurl.so"})
                UpdateRig::writeFile(rig.path(QLatin1String(name)), "not a library\n");
            env.insert(QStringLiteral("LD_LIBRARY_PATH"), rig.path(QStringLiteral("lib")));
            env.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("hoop.updater.info=true"));
        }
        if (setup == QStringLiteral("preloaded")) {
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(GETENV_PROBE));
            // A sanitizer build's runtime would otherwise insist on coming first.
            env.insert(QStringLiteral("ASAN_OPTIONS"),
                       env.value(QStringLiteral("ASAN_OPTIONS")) +
                           QStringLiteral(":verify_asan_link_order=0"));
        }
        cli.setProcessEnvironment(env);

        start(cli, rig, QStringList{"--cli"} + arguments);
        // Plugged in only once the program asks for it.
        QString early;
        if (waitForOutput(cli, early, lookingForHoop))
            rig.hoop->plugIn();
        Ended ended = finish(cli);
        ended.out.prepend(early);
        QVERIFY2(ended.status == status, qPrintable(ended.out + ended.err));
        // A list that failed has said so on standard error, leaving standard output empty.
        const bool failedList = arguments.contains(QStringLiteral("--list")) && status != 0;
        QVERIFY(!failedList || ended.out.isEmpty());
        const QString said = failedList ? ended.err : ended.out;
        if (out.startsWith(u'*'))
            QVERIFY2(said.contains(out.mid(1)), qPrintable(said));
        else
            QCOMPARE(said, out);
        // Errors in the arguments: a reason and the usage line on standard error.
        if (status == 64)
            QVERIFY2(ended.err.contains(QStringLiteral("Usage: hoop-updater")) ||
                         ended.err.contains(QStringLiteral("--cli --list")),
                     qPrintable(ended.err));
        if (setup == QStringLiteral("no libcurl"))
            QVERIFY2(ended.err.contains(QStringLiteral("Cannot load libcurl: ")),
                     qPrintable(ended.err));
        if (setup == QStringLiteral("preloaded"))
            QVERIFY2(ended.err.contains(QStringLiteral("getenv_probe: asked for http_proxy")),
                     qPrintable(ended.err));
        // A list taken is remembered under the user's state directory.
        QCOMPARE(
            QFile::exists(rig.path(QStringLiteral("state/" HOOP_BUNDLE_ID "/catalogue-timestamp"))),
            setup == QStringLiteral("signed"));
        // Nothing was flashed unless the run got as far.
        QCOMPARE(!rig.hoop->flashedHexFile().isEmpty(),
                 ended.out.contains(QStringLiteral("Resetting...\n")));
    }

    // The server from --server or the installation's settings file; keys from
    // either the build or the file make a signature required whatever the
    // address. The build's own address here is a dead one.
    void serverChoice_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %server: the rig's server
        QTest::addColumn<QString>("settings");      // the settings file; empty: none
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("keys"); // "build" or "file": who knows the key; "" nobody
        QTest::addColumn<bool>("sign");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out"); // contained in standard output
        QTest::addColumn<QString>("err"); // contained in standard error
        const QStringList listFrom{"--cli", "--list", "--server", "%server"};
        const QString listed = QStringLiteral("fw     1  2026-12-01  test\n");
        const QString unsigned_ = QStringLiteral("signature does not verify: it is missing.");
        QTest::newRow("--server, no keys")
            << listFrom << "" << 0644 << "" << false << 0 << listed << "";
        QTest::newRow("--server, a key in the build, list unsigned")
            << listFrom << "" << 0644 << "build" << false << 2 << "" << unsigned_;
        QTest::newRow("--server, a key from the file, list signed")
            << listFrom << "" << 0644 << "file" << true << 0 << listed << "";
        QTest::newRow("--server, a key from the file, list unsigned")
            << listFrom << "" << 0644 << "file" << false << 2 << "" << unsigned_;
        QTest::newRow("the file's server")
            << QStringList{"--cli", "--list"} << "server = %server/\n"
            << 0644 << "" << false << 0 << listed << "";
        QTest::newRow("the file's server, file group-writable")
            << QStringList{"--cli", "--list"} << "server = %server\n"
            << 0664 << "" << false << 2 << ""
            << "it is writable by its group (mode 0664). The built-in update server";
        QTest::newRow("--server over the file's") << listFrom << "server = http://127.0.0.1:1\n"
                                                  << 0644 << "" << false << 0 << listed << "";
        QTest::newRow("--version names them")
            << QStringList{"--version", "--server", "%server"} << "" << 0644 << "file" << false << 0
            << "Update server: %server (--server)\nFirmware list signature: required, 1 key (0 "
               "built in, 1 from the settings file)\nSettings file: %file, read\n"
            << "";
        QTest::newRow("a --server that is no address")
            << QStringList{"--cli", "--server", "127.0.0.1:8080"} << "" << 0644 << "" << false << 64
            << ""
            << "--server needs the base address";
    }
    void serverChoice()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, settings);
        QFETCH(int, mode);
        QFETCH(QString, keys);
        QFETCH(bool, sign);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        UpdateRig rig;
        publish(rig);
        QVERIFY(rig.startServer());
        const QString server = rig.config.updateServerUrl;
        const QString key = signCatalogue(rig);
        QVERIFY(!key.isEmpty());
        if (!sign)
            QVERIFY(QFile::remove(rig.path(QStringLiteral("firmware/updates.xml.minisig"))));
        const QString file = rig.path(QStringLiteral("hoop-updater.conf"));
        if (keys == QStringLiteral("file"))
            settings += QStringLiteral("public-key = ") + key + QLatin1Char('\n');
        UpdateRig::writeFile(file, QString(settings).replace("%server", server).toUtf8());
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode)) == 0);

        QProcessEnvironment env = environmentFor(rig);
        env.insert(QStringLiteral("HOOPTEST_SERVER"), QStringLiteral("http://127.0.0.1:1"));
        env.insert(QStringLiteral("HOOPTEST_SETTINGS_FILE"), file);
        env.insert(QStringLiteral("XDG_STATE_HOME"), rig.path(QStringLiteral("state")));
        if (keys == QStringLiteral("build"))
            env.insert(QStringLiteral("HOOPTEST_PUBLIC_KEYS"), key);
        QProcess cli;
        cli.setProcessEnvironment(env);
        start(cli, rig, arguments.replaceInStrings(QStringLiteral("%server"), server));
        const Ended ended = finish(cli);
        QVERIFY2(ended.status == status, qPrintable(ended.out + ended.err));
        QVERIFY2(ended.out.contains(QString(out).replace("%server", server).replace("%file", file)),
                 qPrintable(ended.out));
        QVERIFY2(ended.err.contains(err), qPrintable(ended.err));
    }

    // The shipped program reads its arguments before it needs a display.
    void shippedProgram_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // on standard output or error
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Exit status with --cli:";
        QTest::newRow("a terminal option alone")
            << QStringList{"--list"} << 64 << "hoop-updater: --list needs --cli.";
        // The window without a display: a word on --cli, and no abort.
        QTest::newRow("no display")
            << QStringList{} << 69
            << "hoop-updater: no display to show the window on (DISPLAY is not set). To update "
               "from this terminal, run: hoop-updater --cli\n";
    }
    void shippedProgram()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        UpdateRig rig;
        QProcess program;
        program.setProcessEnvironment(environmentFor(rig));
        program.start(QStringLiteral(SHIPPED_APP), arguments);
        const Ended ended = finish(program);
        QCOMPARE(ended.status, status);
        QVERIFY2((ended.out + ended.err).contains(said), qPrintable(ended.out + ended.err));
    }

    // Standard output is the window's console for the same run.
    void sameAsTheWindow_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("updated") << -1;
        QTest::newRow("hoop in its bootloader, start fails") << int(hoopsim::Fault::StartFails);
    }
    void sameAsTheWindow()
    {
        QFETCH(int, fault);
        QString transcripts[2];
        for (QString &transcript : transcripts) {
            UpdateRig rig;
            publish(rig);
            if (fault >= 0)
                rig.hoop->setFault(hoopsim::Fault(fault));
            rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
            if (&transcript == &transcripts[0]) {
                QVERIFY(rig.launch());
                QVERIFY(rig.updateAndWait());
                transcript = rig.console();
            } else {
                QVERIFY(rig.startServer());
                transcript = run(rig, {QStringLiteral("--cli")}).out;
            }
        }
        QVERIFY(transcripts[0].contains(QStringLiteral("Starting device...\n")));
        QCOMPARE(transcripts[1], transcripts[0]);
    }

    // Ctrl+C while waiting ends at once; while the hoop is programmed, the
    // hoop is finished first.
    void interrupt_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("hang"); // the step that hangs until the signal, or -1
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("tail");
        using F = hoopsim::Fault;
        QTest::newRow("SIGINT waiting for the hoop")
            << int(SIGINT) << -1 << -1 << 130 << lookingForHoop;
        QTest::newRow("SIGTERM waiting for the hoop")
            << int(SIGTERM) << -1 << -1 << 130 << lookingForHoop;
        // As Ctrl+C sends it: to the whole process group.
        QTest::newRow("SIGINT to the group during the flash")
            << -int(SIGINT) << int(F::HangOnFlash) << -1 << 130 << succeeded;
        QTest::newRow("SIGINT during a flash that fails")
            << int(SIGINT) << int(F::HangOnFlash) << int(F::FlashFails) << 20
            << failure("20 Failure writing firmware to device.") +
                   advice(UpdateRunOutcome::FlashFailed);
        // A station finishes the hoop, counts it and ends with the tally's status.
        QTest::newRow("SIGTERM during a station's flash")
            << int(SIGTERM) << int(F::HangOnFlash) << -2 << 0
            << succeeded + "Hoop 1: updated to fw (1 updated, 0 failed)\n";
    }
    void interrupt()
    {
        QFETCH(int, signal);
        QFETCH(int, hang);
        QFETCH(int, fault);
        QFETCH(int, status);
        QFETCH(QString, tail);

        UpdateRig rig;
        publish(rig);
        QVERIFY(rig.startServer());
        if (fault >= 0)
            rig.hoop->setFault(hoopsim::Fault(fault));
        if (hang >= 0) {
            rig.hoop->setFault(hoopsim::Fault(hang));
            rig.hoop->plugIn();
        }
        QProcess cli;
        start(cli, rig, fault == -2 ? QStringList{"--cli", "--repeat"} : QStringList{"--cli"});
        QString out;
        QVERIFY(waitForOutput(cli, out, hang >= 0 ? QStringLiteral("Flashing...\n") : tail));
        if (hang >= 0) {
            // Signalled while the tool is writing the hoop.
            QTRY_VERIFY(rig.hoop->toolRuns().filter(QStringLiteral("flash")).size() == 1);
        }
        // A negative signal goes to the program's process group.
        const pid_t pid = pid_t(cli.processId());
        QVERIFY(signal > 0 ? ::kill(pid, signal) == 0 : ::kill(-pid, -signal) == 0);
        if (hang >= 0) {
            // Not cut off: the tool still runs, and the program waits for it.
            QTest::qWait(300);
            QCOMPARE(cli.state(), QProcess::Running);
            QVERIFY(!rig.hoop->toolRunDetails().last().finished());
            rig.hoop->setFault(hoopsim::Fault(hang), false);
        }
        const Ended ended = finish(cli);
        QCOMPARE(ended.status, status);
        QVERIFY2((out + ended.out).endsWith(tail), qPrintable(out + ended.out));
        QCOMPARE(ended.err.contains(QStringLiteral("finishing it first")), hang >= 0);
    }

    // The image is kept only while the program runs; what a crashed run left
    // is removed at the next start, what a running one keeps is not.
    void leftoversRemoved()
    {
        UpdateRig rig;
        publish(rig);
        QVERIFY(rig.startServer());
        // A process that has ended: its id is known only while it runs.
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        const QByteArray deadPid = QByteArray::number(gone.processId());
        QVERIFY(gone.waitForFinished());
        const QString base = rig.path(QStringLiteral("tmp/org.example.hoop-updater-test"));
        const auto leave = [](const QString &dir, const QByteArray &owner, const char *file) {
            QVERIFY(QDir().mkpath(dir));
            QVERIFY(
                QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QVERIFY(UpdateRig::writeFile(dir + "/owner", owner + "\n"));
            QVERIFY(UpdateRig::writeFile(dir + "/" + file, "image"));
        };
        leave(base, deadPid, "old.hex");
        leave(base + "-crashd", deadPid, "fw.hex");
        leave(base + "-living", QByteArray::number(QCoreApplication::applicationPid()), "fw.hex");

        const Ended ended = run(rig, {"--cli", "--timeout", "1"});
        QCOMPARE(ended.status, 5); // the image was stored, and no hoop came
        QVERIFY(!QFile::exists(base + "/old.hex"));
        QVERIFY(!QFile::exists(base + "/fw.hex"));
        QVERIFY(!QFile::exists(base + "-crashd"));
        QVERIFY(QFile::exists(base + "-living/fw.hex"));
    }

    // Without --cli a file on the command line opens the window and is offered there.
    void fileOpensTheWindow()
    {
        UpdateRig rig;
        publish(rig);
        QVERIFY(rig.startServer());
        const QString file = rig.path(QStringLiteral("fw.hex"));
        QVERIFY(UpdateRig::writeFile(file, hexImage(0x80002000u, 512)));
        QProcessEnvironment env = environmentFor(rig);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("hoop.updater.info=true"));
        QProcess window;
        window.setProcessEnvironment(env);
        start(window, rig, {file});
        // The developer log on standard error shows what the window's console does.
        QString err;
        QDeadlineTimer bound(30000);
        while (!err.contains(QStringLiteral("Firmware file chosen: ") + file) &&
               window.state() == QProcess::Running && !bound.hasExpired()) {
            window.waitForReadyRead(100);
            err += QString::fromLocal8Bit(window.readAllStandardError());
        }
        QVERIFY2(err.contains(QStringLiteral("Select a firmware")), qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("Firmware file chosen: ") + file), qPrintable(err));
        QCOMPARE(window.readAllStandardOutput(), QByteArray()); // no terminal lines
        window.kill();
        window.waitForFinished();
    }

    // Hoop after hoop with one download: each updated once, a failed one
    // counted, and the next one only taken once the last has gone.
    void station()
    {
        UpdateRig rig;
        publish(rig);
        QVERIFY(rig.startServer());
        rig.hoop->setFault(hoopsim::Fault::ComesBackAsVolume);
        // Long enough that an updated hoop is away for a while before its
        // volume comes back.
        rig.hoop->setRebootDelay(1500);
        QProcess cli;
        start(cli, rig, {"--cli", "--repeat", "--timeout", "3"});
        QString out;
        const QStringList summaries{"Hoop 1: updated to fw (1 updated, 0 failed)\n",
                                    "Hoop 2: not updated (1 updated, 1 failed)\n",
                                    "Hoop 3: updated to fw (2 updated, 1 failed)\n"};
        for (int hoop = 0; hoop < 3; ++hoop) {
            rig.hoop->setFault(hoopsim::Fault::FlashFails, hoop == 1);
            rig.hoop->plugIn();
            QVERIFY2(waitForOutput(cli, out, summaries[hoop]), qPrintable(out));
            // An updated hoop shows its volume again: it is not a new one.
            if (hoop != 1)
                QTRY_VERIFY(rig.hoop->volumeMounted());
            // A while with its volume back, which must not count as the next hoop.
            QTest::qWait(500);
            rig.hoop->unplug();
            // The next one is plugged in once the station waits for it.
            QVERIFY2(waitForOutput(cli, out, lookingForHoop, hoop + 2), qPrintable(out));
        }
        const Ended ended = finish(cli);
        QCOMPARE(ended.status, 1);
        QCOMPARE(rig.hoop->toolRuns().filter(QRegularExpression("^flash ")).size(), 3);
        // One download for all of them.
        QCOMPARE((out + ended.out).count(QStringLiteral("Fetching firmware update")), 1);
        QVERIFY((out + ended.out)
                    .endsWith(QStringLiteral("No Vexlume Hoop appeared within 3 seconds.\n")));
    }
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
