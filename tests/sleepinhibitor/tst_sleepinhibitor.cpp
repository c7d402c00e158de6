// Whole update runs against a stand-in login manager on a private system bus:
// the run holds a sleep inhibitor while it works, lets go when it ends, and
// ends the same way when there is no login manager to ask.

#include "devlogcapture.h"
#include "e2eharness.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

// Hands out the write end of a pipe per Inhibit call, as logind hands out a
// FIFO: the read end hangs up once every copy of the write end is closed.
class LoginManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    QStringList calls() const
    {
        QMutexLocker lock(&m_lock);
        return m_calls;
    }
    bool released() const
    {
        QMutexLocker lock(&m_lock);
        pollfd watch{m_readEnd, POLLIN, 0};
        return m_readEnd >= 0 && ::poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP);
    }

public slots:
    Q_SCRIPTABLE QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who,
                                                 const QString &why, const QString &mode)
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        const QDBusUnixFileDescriptor writeEnd(ends[1]); // a copy of its own
        ::close(ends[1]);
        QMutexLocker lock(&m_lock);
        m_calls << QStringList{what, who, why, mode}.join(QLatin1Char('|'));
        if (m_readEnd >= 0)
            ::close(m_readEnd); // only the latest hold is watched
        m_readEnd = ends[0];
        return writeEnd;
    }

private:
    mutable QMutex m_lock;
    QStringList m_calls;
    int m_readEnd = -1;
};

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void heldForTheWholeRun_data();
    void heldForTheWholeRun();

private:
    QTemporaryDir m_busDir;
    QProcess m_bus;
    QThread m_managerThread; // answers while the test waits for the run
    LoginManager *m_manager = nullptr;
};

void TestSleepInhibitor::initTestCase()
{
    QFile config(m_busDir.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("<busconfig><listen>unix:dir=" + m_busDir.path().toUtf8() +
                 "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
                 "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>");
    config.close();
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The bus goes with this process, however it ends.
    m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                 QStringLiteral("--config-file=") + config.fileName()});
    QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is missing (package dbus)");
    while (!m_bus.canReadLine() && m_bus.waitForReadyRead(30000)) {
    }
    const QByteArray address = m_bus.readLine().trimmed();
    QVERIFY(!address.isEmpty());
    // The product asks "the system bus"; in this process that is the private one.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

    m_manager = new LoginManager;
    m_manager->moveToThread(&m_managerThread);
    connect(&m_managerThread, &QThread::finished, m_manager, &QObject::deleteLater);
    m_managerThread.start();
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("login manager"));
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/login1"), m_manager,
                               QDBusConnection::ExportScriptableSlots));
}

void TestSleepInhibitor::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("login manager"));
    m_managerThread.quit();
    m_managerThread.wait();
    m_bus.kill();
    m_bus.waitForFinished();
}

void TestSleepInhibitor::heldForTheWholeRun_data()
{
    QTest::addColumn<bool>("managerPresent");
    QTest::addColumn<bool>("readOnlyVolume");
    QTest::addColumn<QString>("lastLine");
    const QString succeeded = QStringLiteral("Vexlume Hoop successfully updated to firmware "
                                             "version: fw Disconnect hoop and quit.\n");
    QTest::newRow("held until the run succeeds") << true << false << succeeded;
    QTest::newRow("held until the run halts") << true << true << QStringLiteral(" Restart app.\n");
    QTest::newRow("no login manager") << false << false << succeeded;
}

void TestSleepInhibitor::heldForTheWholeRun()
{
    QFETCH(bool, managerPresent);
    QFETCH(bool, readOnlyVolume);
    QFETCH(QString, lastLine);
    UpdateRig rig;
    if (readOnlyVolume) {
        const QString unsupported = hoopsim::SimulatedHoop::readOnlyVolumeUnsupportedReason(
            rig.path(QStringLiteral("tmp")));
        if (!unsupported.isEmpty())
            QSKIP(qPrintable(unsupported));
        rig.hoop->setFault(hoopsim::Fault::ReadOnlyVolume);
    }
    QDBusConnection bus(QStringLiteral("login manager"));
    const QString service = QStringLiteral("org.freedesktop.login1");
    if (managerPresent)
        QVERIFY(bus.registerService(service));
    else
        bus.unregisterService(service);
    const QStringList callsBefore = m_manager->calls();
    rig.publishSample(QStringLiteral("fw"));
    QVERIFY(rig.launch());
    DevLogCapture log;

    // The run waits for the hoop: by then the inhibitor is held.
    rig.window->buildButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.hoop->toolRuns().isEmpty(), 60000);
    const QStringList calls = m_manager->calls().mid(callsBefore.size());
    const bool releasedEarly = managerPresent && m_manager->released();
    QVERIFY(rig.hoop->plugIn()); // before any check can fail: the run must end
    QVERIFY(rig.delegate->waitForUpdateRun(60000));

    const QStringList expected{QStringLiteral(
        "sleep:idle|Vexlume Hoop Updater|The Vexlume Hoop's firmware is being updated|block")};
    QCOMPARE(calls, managerPresent ? expected : QStringList());
    QVERIFY(!releasedEarly);
    if (managerPresent)
        QVERIFY(m_manager->released());
    const QString notHeld = QStringLiteral("Could not keep the computer awake during the update: ");
    QCOMPARE(log.lines().filter(notHeld).size(), managerPresent ? 0 : 1);
    // The run ends as it would have, and nothing of this reaches the console.
    rig.drain();
    const QString console = rig.console();
    QVERIFY2(console.startsWith(QStringLiteral(
                 "Checking for updates...\nSelect a firmware and hit \"Update Firmware\"\n"
                 "Fetching firmware update... (fw)\nMD5 check passed\nChecking for Vexlume "
                 "Hoop... Turn on your hoop and plug it in via USB now.\nVexlume Hoop detected, "
                 "volume label: VEXLUME HOOP\nRebooting in DFU mode...\n")) &&
                 console.endsWith(lastLine),
             qPrintable(console));
}

QTEST_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
