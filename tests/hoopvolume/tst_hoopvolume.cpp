#include "filesizelimit.h"
#include "platform/platformpaths.h"
#include "platform/usbport.h"
#include "update/hoopvolume.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TestHoopVolume : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    // Roots are looked at in order, each afresh: "gone" does not exist, "media"
    // holds the entries, and "later" is made by a row's entries.
    void search_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("expected"); // root/label, or empty
        QTest::addColumn<QString>("every");    // every hoop volume, sorted, blank-separated

        QTest::newRow("empty root") << QStringList{} << ""
                                    << "";
        QTest::newRow("request file without marker") << QStringList{"HOOP/runnow.cfg"} << ""
                                                     << "";
        QTest::newRow("marker file") << QStringList{"USB/", "HOOP/hoopinfo.txt"} << "media/HOOP"
                                     << "media/HOOP";
        QTest::newRow("marker is a directory") << QStringList{"HOOP/hoopinfo.txt/"} << "media/HOOP"
                                               << "media/HOOP";
        QTest::newRow("marker in the root itself is no volume")
            << QStringList{"hoopinfo.txt", "plain file"} << ""
            << "";
        QTest::newRow("link to a hoop directory")
            << QStringList{"linked -> elsewhere", "../elsewhere/hoopinfo.txt"} << "media/linked"
            << "media/linked";
        QTest::newRow("the first root with a hoop wins")
            << QStringList{"../later/B/hoopinfo.txt", "A/hoopinfo.txt", ".C/hoopinfo.txt"}
            << "media/.C media/A"
            << "later/B media/.C media/A";
        QTest::newRow("a hoop under a later root only")
            << QStringList{"USB/notes.txt", "../later/B/hoopinfo.txt"} << "later/B"
            << "later/B";
    }
    void search()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, expected);
        QFETCH(QString, every);

        lay(entries);
        const QStringList roots{m_dir->filePath("gone"), root(), m_dir->filePath("later")};
        const auto name = [this](const HoopVolume &volume) {
            return QDir(m_dir->path()).relativeFilePath(volume.mountRoot) + "/" + volume.label;
        };
        const std::optional<HoopVolume> found = findHoopVolume(roots);
        // Of two under one root, either may come first in the listing.
        QVERIFY2(found ? expected.split(u' ').contains(name(*found)) : expected.isEmpty(),
                 qPrintable(found ? name(*found) : QString()));
        QStringList all;
        for (const HoopVolume &volume : findHoopVolumes(roots))
            all << name(volume);
        all.sort();
        QCOMPARE(all.join(u' '), every);
    }

    // The serial number in the marker's text, and what is not one.
    void serial_data()
    {
        QTest::addColumn<QByteArray>("marker");
        QTest::addColumn<QString>("serial"); // "-": none
        QTest::newRow("as the hoop writes it")
            << QByteArray("Vexlume Hoop\r\nModel: VH-1\r\nSerial: VH-000123\r\n") << "VH-000123";
        QTest::newRow("key in any case, blanks around") << QByteArray("SERIAL :  A 7 \n") << "A 7";
        QTest::newRow("first line only counts") << QByteArray("serial:\nSerial: B\n") << "-";
        QTest::newRow("another key") << QByteArray("Serial number: 5\nSerials: 6\n") << "-";
        QTest::newRow("no colon") << QByteArray("Serial 5\n") << "-";
        QTest::newRow("64 characters") << "Serial: " + QByteArray(64, 'x') << QString(64, u'x');
        QTest::newRow("65 characters") << "Serial: " + QByteArray(65, 'x') << "-";
        QTest::newRow("not printable") << QByteArray("Serial: a\x01b\n") << "-";
        QTest::newRow("beyond the bytes read") << QByteArray(4096, '\n') + "Serial: late\n"
                                               << "-";
        QTest::newRow("marker is a directory") << QByteArray() << "-";
    }
    void serial()
    {
        QFETCH(QByteArray, marker);
        QFETCH(QString, serial);
        lay({marker.isEmpty() ? "HOOP/hoopinfo.txt/" : "HOOP/"});
        if (!marker.isEmpty()) {
            QFile file(root() + "/HOOP/hoopinfo.txt");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(marker);
        }
        QCOMPARE(readHoopSerial({root(), "HOOP"}).value_or("-"), serial);
    }

    // From the filesystem's device up sysfs to the USB device's port path.
    void usbPort_data()
    {
        QTest::addColumn<QString>("device"); // under sys/devices, where dev/block/M:m leads
        QTest::addColumn<QString>("port");   // "-": none
        const QString hub = "pci0000:00/0000:00:14.0/usb1/1-4/1-4.3/";
        const QString disk = "1-4.3:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
        QTest::newRow("behind a hub") << hub + disk << "1-4.3";
        QTest::newRow("on the root hub") << "pci0000:00/usb2/2-1/2-1:1.0/host1/block/sdc"
                                         << "2-1";
        QTest::newRow("a disk on no USB") << "pci0000:00/ata1/host0/block/sda/sda1"
                                          << "-";
        QTest::newRow("a port directory without its numbers")
            << "pci0000:00/usb1/1-9/nobus/1-9:1.0/block/sdd"
            << "-";
        QTest::newRow("no such block device") << ""
                                              << "-";
    }
    void usbPort()
    {
        QFETCH(QString, device);
        QFETCH(QString, port);
        const QString sys = m_dir->filePath("sys");
        struct stat info
        {};
        QVERIFY(::stat(QFile::encodeName(m_dir->path()).constData(), &info) == 0);
        QVERIFY(QDir().mkpath(sys + "/dev/block"));
        if (!device.isEmpty()) {
            QVERIFY(QDir().mkpath(sys + "/devices/" + device));
            // Every USB device directory holds its numbers, but the one
            // row that says otherwise.
            QString walked = sys + "/devices";
            for (const QString &part : device.split(u'/')) {
                walked += "/" + part;
                if (QRegularExpression("^[0-9]+-[0-9.]+$").match(part).hasMatch() &&
                    !device.contains("nobus"))
                    for (const char *file : {"/busnum", "/devnum"})
                        QVERIFY(QFile(walked + file).open(QIODevice::WriteOnly));
            }
            QVERIFY(QFile::link(sys + "/devices/" + device, sys + QStringLiteral("/dev/block/%1:%2")
                                                                      .arg(major(info.st_dev))
                                                                      .arg(minor(info.st_dev))));
        }
        QCOMPARE(usbPortOfPath(m_dir->path(), sys).value_or("-"), port);
        QVERIFY(!usbPortOfPath(m_dir->filePath("missing"), sys));
    }
    void defaultRoots()
    {
#ifdef Q_OS_MACOS
        QCOMPARE(defaultMountRoots(), QStringList{"/Volumes"});
#else
        // The user is the one running the program, whatever the environment says.
        qputenv("USER", "someone-else");
        qputenv("LOGNAME", "someone-else");
        const QString user = QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name);
        QCOMPARE(defaultMountRoots(), (QStringList{"/run/media/" + user, "/media/" + user}));
#endif
    }
    void emptyRootIsNotTheWorkingDirectory()
    {
        lay({"HOOP/hoopinfo.txt"});
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root()));
        const std::optional<QString> label = findHoopVolumeLabel(QString());
        QDir::setCurrent(previous);
        QCOMPARE(label, std::nullopt);
    }
    void request_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("written");

        QTest::newRow("first request") << QStringList{"HOOP/hoopinfo.txt"} << "HOOP" << true;
        // Ten bytes fit in the write buffer: only the commit finds the volume full.
        QTest::newRow("volume full") << QStringList{"HOOP/hoopinfo.txt"} << "HOOP" << false;
        QTest::newRow("label with blanks, earlier request")
            << QStringList{"My Hoop 2/hoopinfo.txt", "My Hoop 2/runnow.cfg"} << "My Hoop 2" << true;
        QTest::newRow("volume gone") << QStringList{"USB/"} << "HOOP" << false;
        QTest::newRow("request name taken by a directory")
            << QStringList{"HOOP/runnow.cfg/"} << "HOOP" << false;
    }
    void request()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, label);
        QFETCH(bool, written);

        lay(entries);
        std::optional<QString> error;
        {
            const FileSizeLimit cap(
                QTest::currentDataTag() == QByteArray("volume full") ? 5 : RLIM_INFINITY);
            error = writeBootloaderRequest(root(), label);
        }
        const QString volume = root() + "/" + label;
        if (!written) {
            QVERIFY(error.has_value() && !error->trimmed().isEmpty());
            // A vanished volume is not brought back as a plain directory.
            QCOMPARE(QFileInfo::exists(volume), entries.first().startsWith(label));
            return;
        }
        QCOMPARE(error, std::nullopt);
        QFile request(volume + "/runnow.cfg");
        QVERIFY(request.open(QIODevice::ReadOnly));
        QCOMPARE(request.readAll(), QByteArray("bootloader"));
        // Nothing but the marker and the request is left on the volume.
        QCOMPARE(QDir(volume).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                            QDir::NoDotAndDotDot,
                                        QDir::Name),
                 QStringList({"hoopinfo.txt", "runnow.cfg"}));
    }

private:
    QString root() const
    {
        return m_dir->filePath(QStringLiteral("media"));
    }
    // Entries under the root: "a/" a directory, "a" a file, "a -> b" a link to b
    // (relative to the root's parent).
    void lay(const QStringList &entries)
    {
        QVERIFY(QDir().mkpath(root()));
        for (const QString &entry : entries) {
            const QString at =
                root() + QLatin1Char('/') + entry.section(QStringLiteral(" -> "), 0, 0);
            if (entry.contains(QLatin1String(" -> "))) {
                const QString target = m_dir->filePath(entry.section(QStringLiteral(" -> "), 1, 1));
                QVERIFY(QFile::link(target, at));
            } else if (entry.endsWith(QLatin1Char('/'))) {
                QVERIFY(QDir().mkpath(at));
            } else {
                QVERIFY(QDir().mkpath(QFileInfo(at).path()));
                QFile file(at);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("x");
            }
        }
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestHoopVolume)
#include "tst_hoopvolume.moc"
