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

// Each case names the operation first: "probe, ...", "erase, ...".
bool call(DfuTool &tool, const QString &name, const QString &image = QStringLiteral("fw.hex"))
{
    const QString operation = name.section(QLatin1Char(','), 0, 0);
    return operation == "probe"   ? tool.detected()
           : operation == "erase" ? tool.erase()
           : operation == "flash" ? tool.flash(image)
           : operation == "reset" ? tool.reset()
                                  : tool.start();
}

constexpr int No = 0, Yes = 1, Killed = 2; // the answers expected

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
        QTest::addColumn<QString>("script"); // "real": the bundled tool, which finds no device
        QTest::addColumn<int>("answer");     // Killed: a NO at the bound of 300 ms

        const QString banner = QStringLiteral("printf 'Bootloader Version: 0x1001 (4097)\\n'");
        const QString noDevice = QStringLiteral("echo 'dfu-programmer: no device present.' >&2");
        const QString used = QStringLiteral("echo '0x1a2b bytes used (3.52%)'");
        QTest::newRow("probe, marker on stdout") << banner << Yes;
        QTest::newRow("probe, marker on stderr only") << banner + " >&2" << Yes;
        QTest::newRow("probe, marker with failing status") << banner + "; exit 1" << Yes;
        QTest::newRow("probe, no device") << noDevice + "; exit 1" << No;
        QTest::newRow("erase, silent status 1") << "exit 1" << No;
        QTest::newRow("erase, warning on stderr") << "echo warning >&2" << No;
        QTest::newRow("erase, silent death by signal") << "kill -9 $$" << No;
        QTest::newRow("erase, silent hang") << "exec sleep 120" << Killed;
        // The answer comes at the tool's exit, long before the bound.
        QTest::newRow("erase, leftover child holds the output")
            << "sleep 120 & echo $! > holder" << Yes;
        QTest::newRow("erase, real tool") << "real" << No;
        QTest::newRow("flash, bytes used") << "echo Validating... >&2; " + used << Yes;
        QTest::newRow("flash, bytes used but status 1") << used + "; exit 1" << No;
        QTest::newRow("flash, marker after 2 MiB of output")
            << "head -c 2097152 /dev/zero | tr '\\0' x; " + used << Yes;
        QTest::newRow("flash, marker amid invalid UTF-8")
            << "printf '\\377\\300 bytes used \\376\\n'" << Yes;
        QTest::newRow("flash, endless output") << "echo '12 bytes used'; exec yes" << Killed;
        QTest::newRow("start, no device, status 1") << noDevice + "; exit 1" << Yes;
        QTest::newRow("start, silent success") << "" << No;
        QTest::newRow("start, marker then hang") << noDevice + "; exec sleep 120" << Killed;
        QTest::newRow("start, real tool") << "real" << Yes;
    }
    void answers()
    {
        QFETCH(QString, script);
        QFETCH(int, answer);

        const QString bundled = QStringLiteral(BUNDLED_DFU_PROGRAMMER);
        QVERIFY2(script != "real" || !bundled.isEmpty(), "install the dfu-programmer package");
        DevLogCapture log;
        DfuTool tool(script == "real" ? bundled : standIn(script),
                     answer == Killed ? DfuTimeouts{300, 300, 300, 300, 300} : DfuTimeouts{});
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        const bool got = call(tool, row);
        QFile holder(m_dir->filePath("holder")); // the leftover child, if any
        const int leftover =
            holder.open(QIODevice::ReadOnly) ? holder.readAll().trimmed().toInt() : 0;
        if (leftover > 0)
            ::kill(leftover, SIGKILL);
        QCOMPARE(got, answer == Yes);
        const QString killed = row.section(QLatin1Char(','), 0, 0).toUpper() +
                               ": dfu-programmer did not finish within 300 ms and was killed";
        QCOMPARE(log.contains(killed), answer == Killed);
        // Every run is reaped: this process has no child left, not even a zombie.
        int status = 0;
        QCOMPARE(::waitpid(-1, &status, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
    }
    void argumentsAndEnvironment_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("expected"); // then LIBUSB_DEBUG and HOOP_TEST_MARK

        const QString target = QStringLiteral("at32uc3b1256");
        QTest::newRow("reset") << QString() << QStringList{target, "reset"};
        const QString odd = QStringLiteral("/tmp/my firmware/it's \"v 2\" $HOME;*.hex");
        QTest::newRow("flash, blanks, quotes and shell signs")
            << odd << QStringList{target, "flash", "--suppress-bootloader-mem", odd};
    }
    void argumentsAndEnvironment()
    {
        QFETCH(QString, image);
        QFETCH(QStringList, expected);

        // The tool's debug chatter would spoil the empty-output answers; the
        // rest of the environment is passed on, and this process keeps its own.
        qputenv("LIBUSB_DEBUG", "4");
        qputenv("HOOP_TEST_MARK", "kept");
        DfuTool tool(
            standIn("printf '%s\\n' \"$@\" \"${LIBUSB_DEBUG-unset}\" \"$HOOP_TEST_MARK\" > argv"));
        call(tool, QString::fromLatin1(QTest::currentDataTag()), image);
        const QByteArray stillOurs = qgetenv("LIBUSB_DEBUG");
        qunsetenv("LIBUSB_DEBUG");
        qunsetenv("HOOP_TEST_MARK");
        QCOMPARE(stillOurs, QByteArray("4"));
        QFile recorded(m_dir->filePath("argv"));
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QCOMPARE(recorded.readAll(),
                 (expected + QStringList{"unset", "kept", ""}).join('\n').toUtf8());
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
        for (const char *operation : {"probe", "erase", "flash", "reset", "start"})
            QVERIFY_THROWS_EXCEPTION(DfuToolError, call(tool, operation));
        QCOMPARE(log.lines(), QStringList());
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
