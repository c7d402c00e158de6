#include "update/dfutool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Many calls in one process: whatever one call leaks, thousands make visible.
// These count; they time nothing.
class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void dfuToolCalls();
};

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// AddressSanitizer holds freed memory in quarantine, so resident size says
// nothing there; LeakSanitizer checks the same calls for leaks instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSizeMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

QtMessageHandler previousHandler = nullptr;

// Thousands of programming steps each write a developer-log line; drop them.
void quietDevLog(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "hoop.updater") != 0)
        previousHandler(type, context, text);
}

} // namespace

void TestSoak::initTestCase()
{
    previousHandler = qInstallMessageHandler(quietDevLog);
}

void TestSoak::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
    qunsetenv("DFU_STANDIN_SCRIPT");
}

void TestSoak::dfuToolCalls()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The rotation: script i drives operations[i] and gives the answer beside it,
    // YES and NO, clean exits, failing statuses and invalid UTF-8.
    std::vector<std::pair<QByteArray, bool>> scripts{
        {"out Bootloader Version: 0x1006 (4102)\\n\n", true},
        {"err dfu-programmer: no device present.\\n\nexit 1\n", false},
        {"", true},
        {"out 4096 bytes used (1.6%)\\n\n", true},
        {"out \\xff\\xfe\n", false},
        {"out dfu-programmer: no device present.\\n\nexit 3\n", true},
    };
    std::vector<QString> scriptFiles;
    scripts.push_back({"hang\n", false}); // not in the rotation: run now and then
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        QFile file(dir.filePath(QStringLiteral("script%1").arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(scripts[i].first);
        scriptFiles.push_back(file.fileName());
    }
    const std::vector<std::function<bool(DfuTool &)>> operations{
        [](DfuTool &t) { return t.detected(); }, [](DfuTool &t) { return t.detected(); },
        [](DfuTool &t) { return t.erase(); },    [](DfuTool &t) { return t.flash("fw.hex"); },
        [](DfuTool &t) { return t.reset(); },    [](DfuTool &t) { return t.start(); },
    };

    DfuTool tool(QStringLiteral(DFU_STANDIN));
    // A short bound, so that a hanging run, killed at it, ends soon.
    DfuTool hanging(QStringLiteral(DFU_STANDIN), DfuTimeouts{100, 100, 100, 100, 100});
    DfuTool missing(dir.filePath(QStringLiteral("no-such-tool")));
    int right = 0;
    int refused = 0;
    int killed = 0;
    const auto calls = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::size_t kind = std::size_t(i) % operations.size();
            qputenv("DFU_STANDIN_SCRIPT", scriptFiles[kind].toLocal8Bit());
            if (operations[kind](tool) == scripts[kind].second)
                ++right;
            // The path that cannot start the tool at all, now and then.
            if (i % 100 == 0) {
                try {
                    missing.erase();
                } catch (const DfuToolError &) {
                    ++refused;
                }
            }
            if (i % 500 == 0) {
                qputenv("DFU_STANDIN_SCRIPT", scriptFiles.back().toLocal8Bit());
                if (!hanging.detected())
                    ++killed;
            }
        }
    };

    calls(300); // warm-up: Qt's process machinery and the allocator settle
    const int descriptorsBefore = openDescriptors();
    const qint64 residentBefore = residentKiB();
    right = refused = killed = 0;
    constexpr int kCalls = 10000;
    calls(kCalls);
    const int descriptorsAfter = openDescriptors();
    const qint64 residentAfter = residentKiB();
    qInfo("%d calls: descriptors %d -> %d, resident %lld -> %lld KiB", kCalls, descriptorsBefore,
          descriptorsAfter, residentBefore, residentAfter);

    QCOMPARE(right, kCalls);
    QCOMPARE(refused, kCalls / 100);
    QCOMPARE(killed, kCalls / 500);
    QCOMPARE(descriptorsAfter, descriptorsBefore);
    if (kResidentSizeMeaningful) {
        QVERIFY(residentBefore > 0);
        QVERIFY2(residentAfter - residentBefore < 1024, "resident memory grew by 1 MiB or more");
    }
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
