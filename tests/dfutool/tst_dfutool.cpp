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

const QString kStandIn = QStringLiteral(DFU_STANDIN);

bool call(DfuTool &tool, const QString &operation, const QString &image = QStringLiteral("fw.hex"))
{
    return operation == "get"     ? tool.detected()
           : operation == "erase" ? tool.erase()
           : operation == "flash" ? tool.flash(image)
           : operation == "reset" ? tool.reset()
                                  : tool.start();
}

} // namespace

class TestDfuTool : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("DFU_STANDIN_ARGV", path(QStringLiteral("argv")).toLocal8Bit());
    }
    void cleanup()
    {
        qunsetenv("DFU_STANDIN_SCRIPT");
        qunsetenv("DFU_STANDIN_ARGV");
        m_dir.reset();
    }

    void answers_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("expected");

        const QString banner = QStringLiteral("Bootloader Version: 0x1001 (4097)\\n");
        QTest::newRow("probe, marker on stdout") << "get" << QStringList{"out " + banner} << true;
        QTest::newRow("probe, marker on stderr only")
            << "get" << QStringList{"err " + banner} << true;
        QTest::newRow("probe, marker with failing status")
            << "get" << QStringList{"out " + banner, "exit 1"} << true;
        QTest::newRow("probe, no device")
            << "get" << QStringList{"err dfu-programmer: no device present.\\n", "exit 1"} << false;

        QTest::newRow("erase, silent status 1") << "erase" << QStringList{"exit 1"} << false;
        QTest::newRow("erase, warning on stderr")
            << "erase" << QStringList{"err warning\\n"} << false;
        QTest::newRow("erase, silent death by signal")
            << "erase" << QStringList{"signal 9"} << false;

        const QString used = QStringLiteral("out 0x1a2b bytes used (3.52%)\\n");
        QTest::newRow("flash, bytes used")
            << "flash" << QStringList{"err Validating...\\n", used} << true;
        QTest::newRow("flash, bytes used but status 1")
            << "flash" << QStringList{used, "exit 1"} << false;
        QTest::newRow("flash, marker after 2 MiB of output")
            << "flash" << QStringList{"flood 2097152", used} << true;
        QTest::newRow("flash, marker amid invalid UTF-8")
            << "flash" << QStringList{"out \\xff\\xc0 bytes used \\xfe\\n"} << true;

        const QString noDevice = QStringLiteral("err dfu-programmer: no device present.\\n");
        QTest::newRow("start, no device, status 1")
            << "start" << QStringList{noDevice, "exit 1"} << true;
        QTest::newRow("start, silent success") << "start" << QStringList{} << false;
        // The real tool, which finds no device on a test machine.
        QTest::newRow("real tool, erase") << "erase" << QStringList{"real"} << false;
        QTest::newRow("real tool, start") << "start" << QStringList{"real"} << true;
    }
    void answers()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        QFETCH(bool, expected);

        script(lines);
        const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
        const bool real = lines == QStringList{"real"};
        QVERIFY2(!real || !bundled.isEmpty(), "install the dfu-programmer package");
        DfuTool tool(real ? bundled : kStandIn);
        QCOMPARE(call(tool, operation), expected);
    }
    void arguments_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("expected");

        const QString target = QStringLiteral("at32uc3b1256");
        QTest::newRow("reset") << "reset" << QString() << QStringList{target, "reset"};
        const QString odd = QStringLiteral("/tmp/my firmware/it's \"v 2\" $HOME;*.hex");
        QTest::newRow("flash, blanks, quotes and shell signs")
            << "flash" << odd << QStringList{target, "flash", "--suppress-bootloader-mem", odd};
    }
    void arguments()
    {
        QFETCH(QString, operation);
        QFETCH(QString, image);
        QFETCH(QStringList, expected);

        script({});
        DfuTool tool(kStandIn);
        call(tool, operation, image);
        QFile recorded(path(QStringLiteral("argv")));
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QStringList got = QString::fromUtf8(recorded.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(got.takeLast(), QString());
        QCOMPARE(got, expected);
    }
    void environmentPassedWithoutLibusbDebug()
    {
        qputenv("LIBUSB_DEBUG", "4");
        qputenv("HOOP_TEST_MARK", "kept");
        script({"env LIBUSB_DEBUG", "env HOOP_TEST_MARK"});
        DevLogCapture log;
        DfuTool tool(kStandIn);
        tool.erase();
        const QByteArray stillOurs = qgetenv("LIBUSB_DEBUG");
        qunsetenv("LIBUSB_DEBUG");
        qunsetenv("HOOP_TEST_MARK");
        QCOMPARE(log.lines(), QStringList{"ERASE=LIBUSB_DEBUG unset\nHOOP_TEST_MARK=kept\n"});
        QCOMPARE(stillOurs, QByteArray("4"));
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
        QFile garbage(path(QStringLiteral("tool")));
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write("\x01\x02 not a program\n"));
        garbage.close();
        QVERIFY(garbage.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString toolPath = name.isNull() ? QString() : path(name);
        script({});
        DevLogCapture log;
        DfuTool tool(toolPath);
        for (const char *operation : {"get", "erase", "flash", "reset", "start"})
            QVERIFY_THROWS_EXCEPTION(DfuToolError, call(tool, operation));
        QCOMPARE(log.lines(), QStringList());
    }
    void runPastItsBoundIsKilled_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("logged");

        QTest::newRow("erase, silent hang") << "erase" << QStringList{"hang"} << "ERASE";
        QTest::newRow("flash, endless output")
            << "flash" << QStringList{"out 12 bytes used\\n", "flood 999999999999"} << "FLASH";
        QTest::newRow("start, marker then hang")
            << "start" << QStringList{"err dfu-programmer: no device present.\\n", "hang"}
            << "START";
    }
    void runPastItsBoundIsKilled()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        QFETCH(QString, logged);

        script(lines);
        DevLogCapture log;
        DfuTool tool(kStandIn, {300, 300, 300, 300, 300});
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
        script({"hold " + path(QStringLiteral("holder")), "exit 0"});
        DfuTool tool(kStandIn, {60000, 60000, 60000, 60000, 60000});
        const bool answer = tool.erase();
        QFile pidFile(path(QStringLiteral("holder")));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t holder = pid_t(pidFile.readAll().trimmed().toLong());
        QVERIFY(holder > 0);
        const bool holderAlive = ::kill(holder, 0) == 0;
        ::kill(holder, SIGKILL);
        QVERIFY(answer);
        QVERIFY(holderAlive);
    }

private:
    void script(const QStringList &lines)
    {
        QFile file(path(QStringLiteral("script")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
        file.close();
        qputenv("DFU_STANDIN_SCRIPT", file.fileName().toLocal8Bit());
    }
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestDfuTool)
#include "tst_dfutool.moc"
