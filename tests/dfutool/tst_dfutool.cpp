#include "update/dfutool.h"

#include "devlogcapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// The driver against a scripted stand-in tool (real child processes) and
// against the real dfu-programmer, which finds no device on a test machine.

namespace {

const QString kStandIn = QStringLiteral(DFU_STANDIN);

bool call(DfuTool &tool, const QString &operation, const QString &image = QStringLiteral("fw.hex"))
{
    if (operation == QLatin1String("get"))
        return tool.detected();
    if (operation == QLatin1String("erase"))
        return tool.erase();
    if (operation == QLatin1String("flash"))
        return tool.flash(image);
    if (operation == QLatin1String("reset"))
        return tool.reset();
    if (operation == QLatin1String("start"))
        return tool.start();
    qFatal("unknown operation");
}

const QStringList kOperations{QStringLiteral("get"), QStringLiteral("erase"),
                              QStringLiteral("flash"), QStringLiteral("reset"),
                              QStringLiteral("start")};

pid_t readPid(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return pid_t(f.readAll().trimmed().toLong());
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

        QTest::newRow("reset, silent status 1") << "reset" << QStringList{"exit 1"} << false;

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
    }
    void answers()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        QFETCH(bool, expected);

        script(lines);
        DfuTool tool(kStandIn);
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
        QTest::addColumn<QString>("kind");

        QTest::newRow("null path") << "null";
        QTest::newRow("no file") << "missing";
        QTest::newRow("a directory") << "directory";
        QTest::newRow("executable bit on garbage") << "garbage";
    }
    void cannotStart()
    {
        QFETCH(QString, kind);

        QString toolPath;
        if (kind == QLatin1String("missing"))
            toolPath = path(QStringLiteral("no-such-tool"));
        else if (kind == QLatin1String("directory"))
            toolPath = m_dir->path();
        else if (kind == QLatin1String("garbage")) {
            toolPath = path(QStringLiteral("tool"));
            QFile file(toolPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("\x01\x02 not a program\n");
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }

        script({});
        DevLogCapture log;
        DfuTool tool(toolPath);
        for (const QString &operation : kOperations)
            QVERIFY_THROWS_EXCEPTION(DfuToolError, call(tool, operation));
        QCOMPARE(log.lines(), QStringList());
    }
    void runPastItsBoundIsKilled_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("logged");

        QTest::newRow("erase, silent hang")
            << "erase" << QStringList{"hang"}
            << "ERASE: dfu-programmer did not finish within 300 ms and was killed";
        QTest::newRow("flash, endless output")
            << "flash" << QStringList{"out 12 bytes used\\n", "flood 999999999999"}
            << "FLASH: dfu-programmer did not finish within 300 ms and was killed";
        QTest::newRow("start, marker then hang")
            << "start" << QStringList{"err dfu-programmer: no device present.\\n", "hang"}
            << "START: dfu-programmer did not finish within 300 ms and was killed";
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
        const pid_t holder = readPid(path(QStringLiteral("holder")));
        QVERIFY(holder > 0);
        const bool holderAlive = ::kill(holder, 0) == 0;
        ::kill(holder, SIGKILL);
        QVERIFY(answer);
        QVERIFY(holderAlive);
    }
    void realToolWithNoDevice_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("expected");

        QTest::newRow("erase") << "erase" << false;
        QTest::newRow("start") << "start" << true;
    }
    void realToolWithNoDevice()
    {
        QFETCH(QString, operation);
        QFETCH(bool, expected);

        const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
        if (bundled.isEmpty())
            QFAIL("dfu-programmer was not found at configure time; install the dfu-programmer "
                  "package");
        const QString image = path(QStringLiteral("fw image.hex"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(":00000001FF\n");
        file.close();

        DevLogCapture log;
        DfuTool tool(bundled);
        QCOMPARE(call(tool, operation, image), expected);
        if (operation != QLatin1String("get"))
            QVERIFY(log.lines().join(QString()).contains(
                QLatin1String("dfu-programmer: no device present.")));
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
