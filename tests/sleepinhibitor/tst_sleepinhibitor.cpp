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
    QStringList calls;
    int readEnd = -1; // of the latest hold only

    bool released() const
    {
        pollfd watch{readEnd, POLLIN, 0};
        return readEnd >= 0 && ::poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP);
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
        calls << QStringList{what, who, why, mode}.join(u'|');
        if (readEnd >= 0)
            ::close(readEnd);
        readEnd = ends[0];
        return writeEnd;
    }
};

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

    QProcess m_bus;
    LoginManager m_manager; // answers while the test spins the event loop

private slots:
    void initTestCase()
    {
        // The bus goes with this process, however it ends.
        m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"),
                     QStringLiteral("--print-address")});
        QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is missing (package dbus)");
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(30000)) {
        }
        const QByteArray address = m_bus.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        // The product asks "the system bus"; in this process that is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        QVERIFY(QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("lm"))
                    .registerObject(QStringLiteral("/org/freedesktop/login1"), &m_manager,
                                    QDBusConnection::ExportScriptableSlots));
    }
    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("lm"));
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void heldForTheWholeRun_data()
    {
        QTest::addColumn<bool>("managerPresent");
        QTest::addColumn<bool>("readOnlyVolume"); // the run halts
        QTest::addColumn<QString>("lastLine");
        const QString succeeded =
            QStringLiteral("firmware version: fw Disconnect hoop and quit.\n");
        QTest::newRow("held until the run succeeds") << true << false << succeeded;
        QTest::newRow("held until the run halts")
            << true << true << QStringLiteral(" Restart app.\n");
        QTest::newRow("no login manager") << false << false << succeeded;
    }
    void heldForTheWholeRun()
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
        QDBusConnection bus(QStringLiteral("lm"));
        const QString service = QStringLiteral("org.freedesktop.login1");
        if (managerPresent)
            QVERIFY(bus.registerService(service));
        else
            bus.unregisterService(service);
        const qsizetype callsBefore = m_manager.calls.size();
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.launch());
        DevLogCapture log;

        // The run waits for the hoop: by then the inhibitor is held.
        rig.window->buildButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.hoop->toolRuns().isEmpty(), 60000);
        const QStringList calls = m_manager.calls.mid(callsBefore);
        const bool releasedEarly = m_manager.released();
        QVERIFY(rig.hoop->plugIn()); // before any check can fail: the run must end
        QVERIFY(rig.delegate->updateRunner().wait(60000));
        QCOMPARE(calls, managerPresent
                            ? QStringList{QStringLiteral("sleep:idle|Vexlume Hoop Updater|The "
                                                         "Vexlume Hoop's firmware is being "
                                                         "updated|block")}
                            : QStringList());
        QVERIFY(!managerPresent || (!releasedEarly && m_manager.released()));
        QCOMPARE(log.lines().filter(QStringLiteral("Could not keep the computer awake")).size(),
                 int(!managerPresent));
        // The run ends as it would have; none of this reaches the console.
        rig.drain();
        QVERIFY2(rig.console().endsWith(lastLine) &&
                     !rig.console().contains(QStringLiteral("awake")),
                 qPrintable(rig.console()));
    }
};

QTEST_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
