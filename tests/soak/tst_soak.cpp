#include "e2eharness.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <unistd.h>

// Update runs in one process, each with a fresh controller and its tool runs:
// whatever one run leaks, a few dozen make visible. This counts descriptors and
// resident memory; it times nothing.
namespace {

// Open descriptors (and "." and "..") and resident KiB.
std::pair<qsizetype, qint64> footprint()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    statm.open(QIODevice::ReadOnly);
    return {QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size(),
            statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024};
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void updateRuns()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater.info=false"));
        UpdateRig rig;
        // Large enough that keeping one image per run would show in resident memory.
        const QString good = rig.publishSample(QStringLiteral("good"), 96 * 1024);
        rig.writeCatalogue(UpdateRig::catalogue(
            {UpdateRig::entry("good.zip", good), UpdateRig::entry("bad.zip", MD5("other"))}));
        // The server is a process of its own, so that its connections are not counted here.
        QProcess server;
        server.start(QStringLiteral(UPDATE_SERVER_PROGRAM),
                     {rig.path(QStringLiteral("firmware")), QStringLiteral("--port"), "0",
                      QStringLiteral("--unchecked")});
        const auto stop = qScopeGuard([&] { server.terminate(), server.waitForFinished(); });
        // "Serving DIR at BASE/fw-updates/ (...)"
        QVERIFY(server.waitForReadyRead(30000));
        rig.config.updateServerUrl = QString::fromLocal8Bit(server.readLine())
                                         .section(QStringLiteral(" at "), -1)
                                         .section(QStringLiteral("/fw-updates/"), 0, 0);

        // Mostly whole runs, with every tool step; one in four fails its flash,
        // one in four its digest. The first four warm up.
        using enum UpdateRunOutcome;
        const UpdateRunOutcome outcomes[] = {Succeeded, FlashFailed, Succeeded, VerificationFailed};
        std::pair<qsizetype, qint64> before;
        for (int i = 0; i < 44 && !QTest::currentTestFailed(); ++i) {
            if (i == 4)
                before = footprint();
            const UpdateRunOutcome outcome = outcomes[i % 4];
            rig.hoop->setFault(hoopsim::Fault::FlashFails, outcome == FlashFailed);
            rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
            rig.delegate = std::make_unique<AppDelegate>(rig.config);
            rig.window = std::make_unique<MainWindow>();
            rig.window->connectOutlets(*rig.delegate);
            rig.delegate->applicationDidFinishLaunching();
            rig.waitForCheck();
            rig.delegate->setSelectedTableItemValue(outcome == VerificationFailed ? "bad" : "good");
            QVERIFY(rig.updateAndWait());
            QVERIFY2(rig.delegate->updateRunner().outcome() == outcome, qPrintable(rig.console()));
            rig.window.reset();
            rig.delegate.reset();
            fwList.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        const auto after = footprint();
        qInfo("40 runs: descriptors %lld -> %lld, resident %lld -> %lld KiB",
              qlonglong(before.first), qlonglong(after.first), before.second, after.second);
        // Fewer is fine: Qt lets idle helper threads of the warm-up go.
        QVERIFY2(after.first <= before.first, "open descriptors grew");
#if !defined(__SANITIZE_ADDRESS__) // where freed memory sits in quarantine
        QVERIFY2(after.second - before.second < 1024, "resident memory grew by 1 MiB or more");
#endif
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
