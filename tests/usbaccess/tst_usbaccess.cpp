// The hoop's bootloader on an emulated USB bus (umockdev) whose device node
// this user may not open: the update run says so once, keeps waiting, and
// goes on when access is granted.

// glib first: Qt's "signals" keyword would break its headers.
#include <umockdev.h>

#include "devlogcapture.h"
#include "e2eharness.h"
#include "update/usbaccesswatch.h"

#include <QScopeGuard>
#include <QTest>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Bus 1, address 5: 03eb:2ff6 with one DFU interface.
const char *const bootloaderDevice = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-2
N: bus/usb/001/005
E: DEVNAME=/dev/bus/usb/001/005
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: bConfigurationValue=1
A: busnum=1
A: devnum=5
H: descriptors=1201100100000020EB03F62F0001000000010902120001010080320904000000FE010200
)";

const QString noAccess = QStringLiteral(
    "Vexlume Hoop bootloader is connected, but this user has no permission to open it. Install "
    "the udev rule (README: \"Permission to program the hoop\"); the update goes on by itself "
    "once access is granted.\n");

// Root opens any file; without these capabilities the node's mode holds for
// us as for anyone. The permitted set keeps them, so they come back.
void overrideFileModes(bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    const quint32 bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].effective =
        on ? data[0].effective | (data[0].permitted & bits) : data[0].effective & ~bits;
    syscall(SYS_capset, &header, data);
}

} // namespace

class TestUsbAccess : public QObject
{
    Q_OBJECT

    UMockdevTestbed *m_bed = nullptr;
    QByteArray m_node;
    bool setNodeMode(mode_t mode) { return ::chmod(m_node.constData(), mode) == 0; }

private slots:
    void initTestCase()
    {
        m_bed = umockdev_testbed_new();
        QVERIFY(umockdev_testbed_add_from_string(m_bed, bootloaderDevice, nullptr));
        gchar *root = umockdev_testbed_get_root_dir(m_bed);
        m_node = QByteArray(root) + "/dev/bus/usb/001/005";
        g_free(root);
        const std::optional<QList<UsbDevice>> seen = listUsbDevices(0x03eb);
        QVERIFY2(seen && seen->size() == 1 && seen->first().productId == 0x2ff6,
                 "the emulated bus is not in use: run under LD_PRELOAD=libumockdev-preload.so.0");
    }
    void cleanupTestCase() { g_object_unref(m_bed); }

    // Looks are "ms:state": R refused, O opened, F failed otherwise, N no such
    // device, X no USB at all.
    void watch_data()
    {
        QTest::addColumn<QString>("looks");
        QTest::addColumn<QString>("reportedAt");
        QTest::addColumn<int>("listings");
        QTest::newRow("once, a second on, then no more looks") << "0:R 999:R 1000:R 2000:R 9000:R"
                                                               << "1000" << 2;
        QTest::newRow("a refusal between two opens does not count") << "0:R 1000:O 2000:R 3000:R"
                                                                    << "3000" << 4;
        QTest::newRow("nothing else counts") << "0:X 1000:X 2000:N 3000:F 4000:F 5000:O 6000:O"
                                             << "" << 7;
    }
    void watch()
    {
        QFETCH(QString, looks);
        QFETCH(QString, reportedAt);
        QFETCH(int, listings);
        QChar state;
        int listed = 0;
        UsbAccessWatch watch([&]() -> std::optional<QList<UsbDevice>> {
            ++listed;
            if (state == u'X' || state == u'N')
                return state == u'X' ? std::nullopt : std::optional(QList<UsbDevice>());
            UsbDevice device;
            device.access = state == u'R'   ? UsbAccess::Denied
                            : state == u'O' ? UsbAccess::Opened
                                            : UsbAccess::Failed;
            return QList<UsbDevice>{device};
        });
        QStringList reported;
        for (const QString &look : looks.split(u' ')) {
            state = look.back();
            if (watch.poll(look.section(u':', 0, 0).toLongLong()))
                reported << look.section(u':', 0, 0);
        }
        QCOMPARE(reported.join(u' '), reportedAt);
        QCOMPARE(listed, listings);
    }

    // What the console shows around the wait, and the developer log once.
    void bootloaderRefused_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("asVolume"); // the hoop comes as a volume first
        QTest::addColumn<QString>("around");
        const QString now = QStringLiteral("plug it in via USB now.\n");
        const QString dfuWait = QStringLiteral("Checking for hoop in DFU mode... ");
        QTest::newRow("refused in the hoop wait")
            << true << false << now + noAccess + dfuWait + "Detected.\n";
        // The open "Checking..." line is ended first.
        QTest::newRow("refused in the DFU wait")
            << true << true
            << "Rebooting in DFU mode...\n" + dfuWait + "\n" + noAccess + "Detected.\n";
        QTest::newRow("may be opened") << false << false << now + dfuWait + "Detected.\n";
    }
    void bootloaderRefused()
    {
        QFETCH(bool, refused);
        QFETCH(bool, asVolume);
        QFETCH(QString, around);
        DevLogCapture log;
        UpdateRig rig;
        QVERIFY(rig.toolInstalled && !rig.publishSample(QStringLiteral("hoop-2.0")).isEmpty());
        QVERIFY(rig.launch());
        // However the test ends, the run gets its bootloader and can finish.
        const auto release = qScopeGuard([&] {
            overrideFileModes(true);
            setNodeMode(0666);
            rig.hoop->enterBootloader();
        });
        QVERIFY(setNodeMode(refused ? 0 : 0666));
        overrideFileModes(false);
        if (asVolume) {
            rig.hoop->setRebootDelay(600000); // the bootloader answers when we say
            QVERIFY(rig.hoop->plugIn());
        }
        rig.window->buildButton()->click();
        if (refused)
            QTRY_VERIFY_WITH_TIMEOUT(rig.console().contains(noAccess), 60000);
        QTest::qWait(2500); // more looks at the device: nothing more is said
        QVERIFY(setNodeMode(0666));
        rig.hoop->enterBootloader();
        QVERIFY(rig.delegate->updateRunner().wait(60000));
        rig.drain();
        QVERIFY2(rig.console().contains(around) && rig.console().count(noAccess) == int(refused),
                 qPrintable(rig.console()));
        QCOMPARE(rig.delegate->updateRunner().outcome(), UpdateRunOutcome::Succeeded);
        QCOMPARE(log.lines().filter(QStringLiteral("on bus 1 address 5 may not be opened")).size(),
                 refused ? 1 : 0);
    }
};

QTEST_MAIN(TestUsbAccess)
#include "tst_usbaccess.moc"
