#include "e2eharness.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <unistd.h>

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
    QFile statm(QStringLiteral("/proc/self/statm"));
    return statm.open(QIODevice::ReadOnly)
               ? statm.readAll().split(' ').value(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024)
               : -1;
}

// Under AddressSanitizer children start slowly and freed memory sits in
// quarantine: fewer rounds, and resident size says nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void updateRuns()
    {
        // Thousands of programming steps each write a developer-log line.
        QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater.info=false"));
        // The server is a process of its own, so that its connections are not counted here.
        UpdateRig rig;
        const QString good = rig.publishSample(QStringLiteral("good"));
        rig.writeCatalogue(UpdateRig::catalogue(
            {UpdateRig::entry("good.zip", good), UpdateRig::entry("bad.zip", MD5("other"))}));
        QProcess server;
        server.start(QStringLiteral(UPDATE_SERVER_PROGRAM),
                     {rig.path(QStringLiteral("firmware")), QStringLiteral("--port"), "0"});
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
        // A warm-up's worth of runs before the counts are taken.
        const int rounds = kSanitized ? 50 : 200;
        int descriptors = 0;
        qint64 resident = 0;
        for (int i = -rounds / 20; i < rounds && !QTest::currentTestFailed(); ++i) {
            if (i == 0) {
                descriptors = openDescriptors();
                resident = residentKiB();
            }
            const auto &kind = kinds[(i + rounds) % 3];
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
        }
        qInfo("%d runs: descriptors %d -> %d, resident %lld -> %lld KiB", rounds, descriptors,
              openDescriptors(), resident, residentKiB());
        // Fewer is fine: Qt lets idle helper threads of the warm-up go.
        QVERIFY2(openDescriptors() <= descriptors, "open descriptors grew");
        if (!kSanitized)
            QVERIFY2(residentKiB() - resident < 1024, "resident memory grew by 1 MiB or more");
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
