#include "update/dfutool.h"

#include "devlogcapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool call(DfuTool &tool, const QString &operation, const QString &image = QStringLiteral("fw.hex"))
{
    return operation == "get"     ? tool.detected()
           : operation == "erase" ? tool.erase()
           : operation == "flash" ? tool.flash(image)
           : operation == "reset" ? tool.reset()
                                  : tool.start();
}

} // namespace

// Each case writes a small shell script that stands in for dfu-programmer and
// runs in the temporary directory.
class TestDfuTool : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void answers_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("script"); // "real": the bundled tool, which finds no device
        QTest::addColumn<bool>("expected");

        const QString banner = QStringLiteral("printf 'Bootloader Version: 0x1001 (4097)\\n'");
        const QString noDevice = QStringLiteral("echo 'dfu-programmer: no device present.' >&2");
        const QString used = QStringLiteral("echo '0x1a2b bytes used (3.52%)'");
        QTest::newRow("probe, marker on stdout") << "get" << banner << true;
        QTest::newRow("probe, marker on stderr only") << "get" << banner + " >&2" << true;
        QTest::newRow("probe, marker with failing status") << "get" << banner + "; exit 1" << true;
        QTest::newRow("probe, no device") << "get" << noDevice + "; exit 1" << false;
        QTest::newRow("erase, silent status 1") << "erase"
                                                << "exit 1" << false;
        QTest::newRow("erase, warning on stderr") << "erase"
                                                  << "echo warning >&2" << false;
        QTest::newRow("erase, silent death by signal") << "erase"
                                                       << "kill -9 $$" << false;
        QTest::newRow("flash, bytes used") << "flash"
                                           << "echo Validating... >&2; " + used << true;
        QTest::newRow("flash, bytes used but status 1") << "flash" << used + "; exit 1" << false;
        QTest::newRow("flash, marker after 2 MiB of output")
            << "flash"
            << "head -c 2097152 /dev/zero | tr '\\0' x; " + used << true;
        QTest::newRow("flash, marker amid invalid UTF-8")
            << "flash"
            << "printf '\\377\\300 bytes used \\376\\n'" << true;
        QTest::newRow("start, no device, status 1") << "start" << noDevice + "; exit 1" << true;
        QTest::newRow("start, silent success") << "start"
                                               << "" << false;
        QTest::newRow("real tool, erase") << "erase"
                                          << "real" << false;
        QTest::newRow("real tool, start") << "start"
                                          << "real" << true;
    }
    void answers()
    {
        QFETCH(QString, operation);
        QFETCH(QString, script);
        QFETCH(bool, expected);

        const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
        QVERIFY2(script != "real" || !bundled.isEmpty(), "install the dfu-programmer package");
        DfuTool tool(script == "real" ? bundled : standIn(script));
        QCOMPARE(call(tool, operation), expected);
    }
    void argumentsAndEnvironment_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("expected"); // then LIBUSB_DEBUG and HOOP_TEST_MARK

        const QString target = QStringLiteral("at32uc3b1256");
        QTest::newRow("reset") << "reset" << QString() << QStringList{target, "reset"};
        const QString odd = QStringLiteral("/tmp/my firmware/it's \"v 2\" $HOME;*.hex");
        QTest::newRow("flash, blanks, quotes and shell signs")
            << "flash" << odd << QStringList{target, "flash", "--suppress-bootloader-mem", odd};
    }
    void argumentsAndEnvironment()
    {
        QFETCH(QString, operation);
        QFETCH(QString, image);
        QFETCH(QStringList, expected);

        // The tool's debug chatter would spoil the empty-output answers; the
        // rest of the environment is passed on, and this process keeps its own.
        qputenv("LIBUSB_DEBUG", "4");
        qputenv("HOOP_TEST_MARK", "kept");
        DfuTool tool(
            standIn("printf '%s\\n' \"$@\" \"${LIBUSB_DEBUG-unset}\" \"$HOOP_TEST_MARK\" > argv"));
        call(tool, operation, image);
        const QByteArray stillOurs = qgetenv("LIBUSB_DEBUG");
        qunsetenv("LIBUSB_DEBUG");
        qunsetenv("HOOP_TEST_MARK");
        QCOMPARE(stillOurs, QByteArray("4"));
        QFile recorded(m_dir->filePath("argv"));
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(recorded.readAll()), (expected << "unset"
                                                                  << "kept"
                                                                  << "")
                                                            .join('\n'));
    }
    void cannotStart_data()
    {
        QTest::addColumn<QString>("name"); // in the temporary directory; "tool" holds garbage
        QTest::newRow("null path") << QString();
        QTest::newRow("no file") << "no-such-tool";
        QTest::newRow("executable bit on garbage") << "tool";
    }
    void cannotStart()
    {
        QFETCH(QString, name);
        writeExecutable("\x01\x02 not a program\n");
        DevLogCapture log;
        DfuTool tool(name.isNull() ? QString() : m_dir->filePath(name));
        for (const char *operation : {"get", "erase", "flash", "reset", "start"})
            QVERIFY_THROWS_EXCEPTION(DfuToolError, call(tool, operation));
        QCOMPARE(log.lines(), QStringList());
    }
    void runPastItsBoundIsKilled_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("logged");

        QTest::newRow("erase, silent hang") << "erase"
                                            << "exec sleep 120"
                                            << "ERASE";
        QTest::newRow("flash, endless output") << "flash"
                                               << "echo '12 bytes used'; exec yes"
                                               << "FLASH";
        QTest::newRow("start, marker then hang")
            << "start"
            << "echo 'dfu-programmer: no device present.' >&2; exec sleep 120"
            << "START";
    }
    void runPastItsBoundIsKilled()
    {
        QFETCH(QString, operation);
        QFETCH(QString, script);
        QFETCH(QString, logged);

        DevLogCapture log;
        DfuTool tool(standIn(script), {300, 300, 300, 300, 300});
        QVERIFY(!call(tool, operation));
        logged += ": dfu-programmer did not finish within 300 ms and was killed";
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join(QLatin1Char('|')).left(300)));

        // Killed and reaped: this process has no child left, not even a zombie.
        int status = 0;
        QCOMPARE(::waitpid(-1, &status, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
    }
    void leftoverChildIsNotWaitedFor()
    {
        // The tool leaves a child behind that holds the output open for minutes;
        // the answer comes at the tool's exit, long before the bound.
        DfuTool tool(standIn("sleep 120 & echo $! > holder"), {60000, 60000, 60000, 60000, 60000});
        const bool answer = tool.erase();
        QFile pidFile(m_dir->filePath("holder"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t holder = pid_t(pidFile.readAll().trimmed().toLong());
        QVERIFY(holder > 0);
        const bool holderAlive = ::kill(holder, 0) == 0;
        ::kill(holder, SIGKILL);
        QVERIFY(answer);
        QVERIFY(holderAlive);
    }

private:
    QString standIn(const QString &script)
    {
        return writeExecutable("#!/bin/sh\ncd \"${0%/*}\" || exit 99\n" + script.toUtf8() + '\n');
    }
    QString writeExecutable(const QByteArray &content)
    {
        QFile file(m_dir->filePath("tool"));
        file.open(QIODevice::WriteOnly);
        file.write(content);
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return file.fileName();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestDfuTool)
#include "tst_dfutool.moc"
