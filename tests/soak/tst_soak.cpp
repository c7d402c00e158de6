#include "e2eharness.h"
#include "update/dfutool.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
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
    void updateRuns();
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

// Under AddressSanitizer every child start costs far more, and freed memory
// sits in quarantine, so resident size says nothing; LeakSanitizer checks
// fewer calls for leaks directly instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
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
    constexpr int kCalls = kSanitized ? 1000 : 10000;
    calls(kCalls);
    const int descriptorsAfter = openDescriptors();
    const qint64 residentAfter = residentKiB();
    qInfo("%d calls: descriptors %d -> %d, resident %lld -> %lld KiB", kCalls, descriptorsBefore,
          descriptorsAfter, residentBefore, residentAfter);

    QCOMPARE(right, kCalls);
    QCOMPARE(refused, kCalls / 100);
    QCOMPARE(killed, kCalls / 500);
    // Fewer is fine: Qt lets idle helper threads of the warm-up go.
    QVERIFY2(descriptorsAfter <= descriptorsBefore, "open descriptors grew");
    if (!kSanitized) {
        QVERIFY(residentBefore > 0);
        QVERIFY2(residentAfter - residentBefore < 1024, "resident memory grew by 1 MiB or more");
    }
}

void TestSoak::updateRuns()
{
    // One server and one hoop for all runs; each run gets a fresh controller
    // and window, launched and driven as the program does. The server runs as
    // a process of its own, so that its connections are not counted here.
    UpdateRig rig;
    QVERIFY(rig.toolInstalled);
    const QString good = rig.publishSample(QStringLiteral("good"));
    rig.publishSample(QStringLiteral("bad"));
    rig.writeCatalogue(UpdateRig::catalogue({UpdateRig::entry("good.zip", good),
                                             UpdateRig::entry("bad.zip", MD5("other")),
                                             UpdateRig::entry("absent.zip", good)}));
    QProcess server;
    server.start(
        QStringLiteral(UPDATE_SERVER_PROGRAM),
        {rig.path(QStringLiteral("firmware")), QStringLiteral("--port"), QStringLiteral("0")});
    auto stopServer = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished(30000);
    });
    // "Serving DIR at BASE/fw-updates/ (...)"
    QVERIFY(server.waitForReadyRead(30000));
    const QString serving = QString::fromLocal8Bit(server.readLine());
    const qsizetype at = serving.lastIndexOf(QStringLiteral(" at "));
    const qsizetype end = serving.indexOf(QStringLiteral("/fw-updates/"), at);
    QVERIFY2(at > 0 && end > at, qPrintable(serving));
    rig.config.updateServerUrl = serving.mid(at + 4, end - at - 4);

    // The rotation; the pauses between programming steps make a success the
    // slowest, so most runs end earlier.
    struct Kind
    {
        QString firmware;
        int fault; // a hoopsim::Fault, or -1
        UpdateRunOutcome outcome;
    };
    const QList<Kind> kinds{
        {"good", -1, UpdateRunOutcome::Succeeded},
        {"bad", -1, UpdateRunOutcome::VerificationFailed},
        {"absent", -1, UpdateRunOutcome::VerificationFailed},
        {"good", int(hoopsim::Fault::EraseFails), UpdateRunOutcome::EraseFailed},
        {"good", int(hoopsim::Fault::FlashFails), UpdateRunOutcome::FlashFailed},
    };
    int expected = 0;
    const auto runs = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const Kind &kind = kinds[i % kinds.size()];
            rig.hoop->unplug();
            for (hoopsim::Fault fault : {hoopsim::Fault::EraseFails, hoopsim::Fault::FlashFails})
                rig.hoop->setFault(fault, int(fault) == kind.fault);
            QVERIFY2(rig.hoop->plugIn(), qPrintable(rig.hoop->errorString()));

            rig.delegate = std::make_unique<AppDelegate>(rig.config);
            rig.window = std::make_unique<MainWindow>();
            rig.window->connectOutlets(*rig.delegate);
            rig.window->show();
            rig.delegate->applicationDidFinishLaunching();
            UpdateRig::drain();
            QVERIFY2(rig.buttonEnabled(), qPrintable(rig.console()));
            rig.delegate->setSelectedTableItemValue(kind.firmware);
            QVERIFY(rig.updateAndWait());
            QVERIFY2(rig.delegate->lastRunOutcome() == kind.outcome, qPrintable(rig.console()));
            ++expected;
            rig.window.reset();
            rig.delegate.reset();
            fwList.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    };

    runs(10); // warm-up
    if (QTest::currentTestFailed())
        return;
    const int descriptorsBefore = openDescriptors();
    const qint64 residentBefore = residentKiB();
    expected = 0;
    constexpr int kRuns = kSanitized ? 50 : 200;
    runs(kRuns);
    if (QTest::currentTestFailed())
        return;
    const int descriptorsAfter = openDescriptors();
    const qint64 residentAfter = residentKiB();
    qInfo("%d update runs: descriptors %d -> %d, resident %lld -> %lld KiB", kRuns,
          descriptorsBefore, descriptorsAfter, residentBefore, residentAfter);

    QCOMPARE(expected, kRuns);
    // Fewer is fine: Qt lets idle helper threads of the warm-up go.
    QVERIFY2(descriptorsAfter <= descriptorsBefore, "open descriptors grew");
    if (!kSanitized)
        QVERIFY2(residentAfter - residentBefore < 1024, "resident memory grew by 1 MiB or more");
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
