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
class TestDfuTool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void logLine_data();
    void logLine();
    void arguments_data();
    void arguments();
    void environmentPassedWithoutLibusbDebug();
    void eachCallIsAFreshRun();
    void cannotStart_data();
    void cannotStart();
    void runPastItsBoundIsKilled_data();
    void runPastItsBoundIsKilled();
    void leftoverChildIsNotWaitedFor();
    void realToolWithNoDevice_data();
    void realToolWithNoDevice();

private:
    void script(const QStringList &lines);
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

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

void TestDfuTool::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv("DFU_STANDIN_ARGV", path(QStringLiteral("argv")).toLocal8Bit());
}

void TestDfuTool::cleanup()
{
    qunsetenv("DFU_STANDIN_SCRIPT");
    qunsetenv("DFU_STANDIN_ARGV");
    m_dir.reset();
}

void TestDfuTool::script(const QStringList &lines)
{
    QFile file(path(QStringLiteral("script")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    file.close();
    qputenv("DFU_STANDIN_SCRIPT", file.fileName().toLocal8Bit());
}

void TestDfuTool::answers_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("expected");

    const QString banner = QStringLiteral("Bootloader Version: 0x1001 (4097)\\n");
    QTest::newRow("probe, marker on stdout") << "get" << QStringList{"out " + banner} << true;
    QTest::newRow("probe, marker on stderr only") << "get" << QStringList{"err " + banner} << true;
    QTest::newRow("probe, marker split across stdout and stderr")
        << "get" << QStringList{"out Bootloader ", "err Version: 0x1001\\n"} << true;
    QTest::newRow("probe, marker with failing status")
        << "get" << QStringList{"out " + banner, "exit 1"} << true;
    QTest::newRow("probe, other letter case")
        << "get" << QStringList{"out bootloader version: 0x1001\\n"} << false;
    QTest::newRow("probe, no device")
        << "get" << QStringList{"err dfu-programmer: no device present.\\n", "exit 1"} << false;

    QTest::newRow("erase, silent success") << "erase" << QStringList{} << true;
    QTest::newRow("erase, silent status 1") << "erase" << QStringList{"exit 1"} << false;
    QTest::newRow("erase, a single line end") << "erase" << QStringList{"out \\n"} << false;
    QTest::newRow("erase, warning on stderr") << "erase" << QStringList{"err warning\\n"} << false;
    QTest::newRow("erase, silent death by signal") << "erase" << QStringList{"signal 9"} << false;
    QTest::newRow("erase, invalid UTF-8 only")
        << "erase" << QStringList{"out \\xff\\xfe\\xc3"} << false;

    QTest::newRow("reset, silent success") << "reset" << QStringList{} << true;
    QTest::newRow("reset, silent status 1") << "reset" << QStringList{"exit 1"} << false;
    QTest::newRow("reset, a single line end") << "reset" << QStringList{"err \\n"} << false;

    const QString used = QStringLiteral("out 0x1a2b bytes used (3.52%)\\n");
    QTest::newRow("flash, bytes used")
        << "flash" << QStringList{"err Validating...\\n", used} << true;
    QTest::newRow("flash, bytes used mid-line")
        << "flash"
        << QStringList{"out Checking memory from 0x0 to 0x3FFFF...  Empty. 4096 "
                       "bytes used by image, done\\n"}
        << true;
    QTest::newRow("flash, capital Bytes used")
        << "flash" << QStringList{"out 0x1a2b Bytes used (3.52%)\\n"} << false;
    QTest::newRow("flash, bytes used but status 1")
        << "flash" << QStringList{used, "exit 1"} << false;
    QTest::newRow("flash, bytes used then killed")
        << "flash" << QStringList{used, "signal 9"} << false;
    QTest::newRow("flash, silent success") << "flash" << QStringList{} << false;
    QTest::newRow("flash, marker after 2 MiB of output")
        << "flash" << QStringList{"flood 2097152", used} << true;
    QTest::newRow("flash, marker amid invalid UTF-8")
        << "flash" << QStringList{"out \\xff\\xc0 bytes used \\xfe\\n"} << true;

    const QString noDevice = QStringLiteral("err dfu-programmer: no device present.\\n");
    QTest::newRow("start, no device, status 1")
        << "start" << QStringList{noDevice, "exit 1"} << true;
    QTest::newRow("start, no device after a signal")
        << "start" << QStringList{noDevice, "signal 15"} << true;
    QTest::newRow("start, silent success") << "start" << QStringList{} << false;
    QTest::newRow("start, other text") << "start" << QStringList{"out started\\n"} << false;
}

void TestDfuTool::answers()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, lines);
    QFETCH(bool, expected);

    script(lines);
    DfuTool tool(kStandIn);
    QCOMPARE(call(tool, operation), expected);
}

void TestDfuTool::logLine_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("probe logs nothing") << "get" << QStringList{};
    QTest::newRow("erase") << "erase" << QStringList{"ERASE=a\nb %@ 100%\nc"};
    QTest::newRow("flash") << "flash" << QStringList{"FLASH=a\nb %@ 100%\nc"};
    QTest::newRow("reset") << "reset" << QStringList{"RESET=a\nb %@ 100%\nc"};
    QTest::newRow("start") << "start" << QStringList{"START=a\nb %@ 100%\nc"};
}

void TestDfuTool::logLine()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, expected);

    // The two streams interleave in the order written; the text is never a format.
    script({"out a\\n", "err b %@ 100%\\n", "out c", "exit 3"});
    DevLogCapture log;
    DfuTool tool(kStandIn);
    call(tool, operation);
    QCOMPARE(log.lines(), expected);
}

void TestDfuTool::arguments_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QStringList>("expected");

    const QString target = QStringLiteral("at32uc3b1256");
    QTest::newRow("probe") << "get" << QString() << QStringList{target, "get"};
    QTest::newRow("erase") << "erase" << QString() << QStringList{target, "erase"};
    QTest::newRow("reset") << "reset" << QString() << QStringList{target, "reset"};
    QTest::newRow("start") << "start" << QString() << QStringList{target, "start"};
    const QString plain = QStringLiteral("/tmp/com.vexlume.hoop-updater/v1.2.hex");
    QTest::newRow("flash") << "flash" << plain
                           << QStringList{target, "flash", "--suppress-bootloader-mem", plain};
    const QString odd = QStringLiteral("/tmp/my firmware/it's \"v 2\" $HOME;*.hex");
    QTest::newRow("flash, blanks, quotes and shell signs")
        << "flash" << odd << QStringList{target, "flash", "--suppress-bootloader-mem", odd};
}

void TestDfuTool::arguments()
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

void TestDfuTool::environmentPassedWithoutLibusbDebug()
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

void TestDfuTool::eachCallIsAFreshRun()
{
    DfuTool tool(kStandIn);
    script({"out Bootloader Version: 0x1001\\n"});
    QVERIFY(tool.detected());
    script({});
    QVERIFY(!tool.detected());
    QVERIFY(tool.erase());
}

void TestDfuTool::cannotStart_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("null path") << "null";
    QTest::newRow("empty path") << "empty";
    QTest::newRow("no file") << "missing";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("a directory") << "directory";
    QTest::newRow("executable bit on garbage") << "garbage";
}

void TestDfuTool::cannotStart()
{
    QFETCH(QString, kind);

    QString toolPath;
    if (kind == QLatin1String("empty"))
        toolPath = QStringLiteral("");
    else if (kind == QLatin1String("missing"))
        toolPath = path(QStringLiteral("no-such-tool"));
    else if (kind == QLatin1String("directory"))
        toolPath = m_dir->path();
    else if (kind == QLatin1String("plain") || kind == QLatin1String("garbage")) {
        toolPath = path(QStringLiteral("tool"));
        QFile file(toolPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x01\x02 not a program\n");
        file.close();
        QVERIFY(file.setPermissions(kind == QLatin1String("plain")
                                        ? QFile::ReadOwner | QFile::WriteOwner
                                        : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    script({});
    DevLogCapture log;
    DfuTool tool(toolPath);
    for (const QString &operation : kOperations)
        QVERIFY_THROWS_EXCEPTION(DfuToolError, call(tool, operation));
    QCOMPARE(log.lines(), QStringList());
}

void TestDfuTool::runPastItsBoundIsKilled_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("logged");

    QTest::newRow("probe, marker then hang")
        << "get" << QStringList{"out Bootloader Version: 0x1001\\n", "hang"}
        << "GET: dfu-programmer did not finish within 300 ms and was killed";
    QTest::newRow("erase, silent hang")
        << "erase" << QStringList{"hang"}
        << "ERASE: dfu-programmer did not finish within 300 ms and was killed";
    QTest::newRow("flash, endless output")
        << "flash" << QStringList{"out 12 bytes used\\n", "flood 999999999999"}
        << "FLASH: dfu-programmer did not finish within 300 ms and was killed";
    QTest::newRow("reset, output closed then hang")
        << "reset" << QStringList{"close", "hang"}
        << "RESET: dfu-programmer did not finish within 300 ms and was killed";
    QTest::newRow("start, marker then hang")
        << "start" << QStringList{"err dfu-programmer: no device present.\\n", "hang"}
        << "START: dfu-programmer did not finish within 300 ms and was killed";
}

void TestDfuTool::runPastItsBoundIsKilled()
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

void TestDfuTool::leftoverChildIsNotWaitedFor()
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

void TestDfuTool::realToolWithNoDevice_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("expected");

    QTest::newRow("probe") << "get" << false;
    QTest::newRow("erase") << "erase" << false;
    QTest::newRow("flash") << "flash" << false;
    QTest::newRow("reset") << "reset" << false;
    QTest::newRow("start") << "start" << true;
}

void TestDfuTool::realToolWithNoDevice()
{
    QFETCH(QString, operation);
    QFETCH(bool, expected);

    const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
    if (bundled.isEmpty())
        QFAIL("dfu-programmer was not found at configure time; install the dfu-programmer package");
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

QTEST_GUILESS_MAIN(TestDfuTool)
#include "tst_dfutool.moc"
