#include "e2eharness.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

// Many update runs in one process, each with a fresh controller and its
// tool runs: whatever one run leaks, hundreds make visible. This counts
// descriptors and resident memory; it times nothing.
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

// Under AddressSanitizer children start slowly and freed memory sits in
// quarantine: fewer rounds, and resident size says nothing.
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

// Runs `round` a warm-up's worth, then `count` times, and checks what grew.
void expectNoGrowth(const char *what, int count, const std::function<void(int)> &round)
{
    for (int i = 0; i < count / 20 && !QTest::currentTestFailed(); ++i)
        round(i);
    const int descriptors = openDescriptors();
    const qint64 resident = residentKiB();
    for (int i = 0; i < count && !QTest::currentTestFailed(); ++i)
        round(i);
    qInfo("%d %s: descriptors %d -> %d, resident %lld -> %lld KiB", count, what, descriptors,
          openDescriptors(), resident, residentKiB());
    // Fewer is fine: Qt lets idle helper threads of the warm-up go.
    QVERIFY2(openDescriptors() <= descriptors, "open descriptors grew");
    if (!kSanitized)
        QVERIFY2(residentKiB() - resident < 1024, "resident memory grew by 1 MiB or more");
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    // Thousands of programming steps each write a developer-log line.
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater.info=false"));
    }

    void updateRuns()
    {
        // Each run gets a fresh controller and window, launched and driven as
        // the program does. The server is a process of its own, so that its
        // connections are not counted here.
        UpdateRig rig;
        const QString good = rig.publishSample(QStringLiteral("good"));
        rig.writeCatalogue(UpdateRig::catalogue(
            {UpdateRig::entry("good.zip", good), UpdateRig::entry("bad.zip", MD5("other"))}));
        QProcess server;
        server.start(
            QStringLiteral(UPDATE_SERVER_PROGRAM),
            {rig.path(QStringLiteral("firmware")), QStringLiteral("--port"), QStringLiteral("0")});
        auto stop = qScopeGuard([&] {
            server.terminate();
            server.waitForFinished(30000);
        });
        // "Serving DIR at BASE/fw-updates/ (...)"
        QVERIFY(server.waitForReadyRead(30000));
        const QString serving = QString::fromLocal8Bit(server.readLine());
        const qsizetype at = serving.lastIndexOf(QStringLiteral(" at ")) + 4;
        rig.config.updateServerUrl =
            serving.mid(at, serving.indexOf(QStringLiteral("/fw-updates/"), at) - at);

        const struct
        {
            const char *firmware;
            bool failFlash;
            UpdateRunOutcome outcome;
        } kinds[] = {
            {"good", false, UpdateRunOutcome::Succeeded},
            {"bad", false, UpdateRunOutcome::VerificationFailed},
            {"good", true, UpdateRunOutcome::FlashFailed},
        };
        expectNoGrowth("update runs", kSanitized ? 50 : 200, [&](int i) {
            const auto &kind = kinds[i % 3];
            rig.hoop->setFault(hoopsim::Fault::FlashFails, kind.failFlash);
            rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
            rig.delegate = std::make_unique<AppDelegate>(rig.config);
            rig.window = std::make_unique<MainWindow>();
            rig.window->connectOutlets(*rig.delegate);
            rig.delegate->applicationDidFinishLaunching();
            UpdateRig::drain();
            rig.delegate->setSelectedTableItemValue(QLatin1String(kind.firmware));
            QVERIFY(rig.updateAndWait());
            QVERIFY2(rig.delegate->lastRunOutcome() == kind.outcome, qPrintable(rig.console()));
            rig.window.reset();
            rig.delegate.reset();
            fwList.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        });
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
