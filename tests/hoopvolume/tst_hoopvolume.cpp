#include "update/hoopvolume.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

// The volume search and the bootloader request, on real directories.
class TestHoopVolume : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void search_data();
    void search();
    void twoHoopsGiveTheFirstListed();
    void emptyRootIsNotTheWorkingDirectory();
    void request_data();
    void request();
    void requestFails_data();
    void requestFails();
    void readOnlyVolume();

private:
    QString root() const { return m_dir->filePath(QStringLiteral("media")); }
    void lay(const QStringList &entries);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHoopVolume::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// Entries relative to the mount root: "a/" a directory, "a" a file holding
// "x", "a -> b" a symbolic link to b (relative to the root's parent).
void TestHoopVolume::lay(const QStringList &entries)
{
    QVERIFY(QDir().mkpath(root()));
    for (const QString &entry : entries) {
        const QString at = root() + QLatin1Char('/') + entry.section(QStringLiteral(" -> "), 0, 0);
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

void TestHoopVolume::search_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<std::optional<QString>>("expected");

    const std::optional<QString> none;
    QTest::newRow("empty root") << QStringList{} << none;
    QTest::newRow("other volumes only") << QStringList{"USB DISK/", "Backup/notes.txt"} << none;
    QTest::newRow("request file without marker") << QStringList{"HOOP/runnow.cfg"} << none;
    QTest::newRow("marker file") << QStringList{"USB/", "HOOP/hoopinfo.txt"}
                                 << std::optional<QString>("HOOP");
    QTest::newRow("marker is a directory")
        << QStringList{"HOOP/hoopinfo.txt/"} << std::optional<QString>("HOOP");
    QTest::newRow("label with blanks")
        << QStringList{"My Hoop 2/hoopinfo.txt"} << std::optional<QString>("My Hoop 2");
    QTest::newRow("hidden volume")
        << QStringList{".hoop/hoopinfo.txt"} << std::optional<QString>(".hoop");
    QTest::newRow("marker in the root itself is no volume")
        << QStringList{"hoopinfo.txt", "plain file"} << none;
    QTest::newRow("link to a hoop directory")
        << QStringList{"linked -> elsewhere", "../elsewhere/hoopinfo.txt"}
        << std::optional<QString>("linked");
}

void TestHoopVolume::search()
{
    QFETCH(QStringList, entries);
    QFETCH(std::optional<QString>, expected);

    lay(entries);
    QCOMPARE(findHoopVolumeLabel(root()), expected);
}

void TestHoopVolume::twoHoopsGiveTheFirstListed()
{
    QCOMPARE(findHoopVolumeLabel(root()), std::nullopt); // no root at all
    lay({"hoop-a/hoopinfo.txt", "hoop-b/hoopinfo.txt", "hoop-c/hoopinfo.txt"});

    // The listing's own order, read independently of Qt.
    QString first;
    DIR *dir = ::opendir(QFile::encodeName(root()).constData());
    QVERIFY(dir);
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.startsWith(QLatin1String("hoop-"))) {
            first = name;
            break;
        }
    }
    ::closedir(dir);
    QCOMPARE(findHoopVolumeLabel(root()), std::optional<QString>(first));
}

void TestHoopVolume::emptyRootIsNotTheWorkingDirectory()
{
    lay({"HOOP/hoopinfo.txt"});
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root()));
    const std::optional<QString> label = findHoopVolumeLabel(QString());
    QDir::setCurrent(previous);
    QCOMPARE(label, std::nullopt);
}

void TestHoopVolume::request_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QByteArray>("earlier");

    QTest::newRow("first request") << "HOOP" << QByteArray();
    QTest::newRow("longer earlier request replaced")
        << "HOOP" << QByteArray("bootloader\nbootloader and something more\n");
    QTest::newRow("label with blanks") << "My Hoop 2" << QByteArray("run");
}

void TestHoopVolume::request()
{
    QFETCH(QString, label);
    QFETCH(QByteArray, earlier);

    lay({label + "/hoopinfo.txt"});
    const QString requestPath = root() + "/" + label + "/runnow.cfg";
    if (!earlier.isNull()) {
        QFile old(requestPath);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(earlier);
    }

    QCOMPARE(writeBootloaderRequest(root(), label), std::nullopt);
    QFile written(requestPath);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("bootloader"));
    // Nothing but the marker and the request is left on the volume.
    QCOMPARE(QDir(root() + "/" + label)
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDir::Name),
             QStringList({"hoopinfo.txt", "runnow.cfg"}));
}

void TestHoopVolume::requestFails_data()
{
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("volume gone") << QStringList{"USB/"};
    QTest::newRow("request name taken by a directory") << QStringList{"HOOP/runnow.cfg/"};
}

void TestHoopVolume::requestFails()
{
    QFETCH(QStringList, entries);

    lay(entries);
    const std::optional<QString> error = writeBootloaderRequest(root(), QStringLiteral("HOOP"));
    QVERIFY(error.has_value());
    QVERIFY(!error->trimmed().isEmpty());
    // A vanished volume is not brought back as a plain directory.
    QCOMPARE(QFileInfo::exists(root() + "/HOOP"), entries.first().startsWith("HOOP"));
}

// A read-only file system; as root permission bits stop nothing, so a small
// tmpfs is mounted and then made read-only.
void TestHoopVolume::readOnlyVolume()
{
    lay({"HOOP/"});
    const QString volume = root() + "/HOOP";
    const QByteArray mountPoint = QFile::encodeName(volume);
    bool mounted = false;
    if (::geteuid() == 0) {
        if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a tmpfs here, so no read-only volume can be made");
        mounted = true;
    }
    auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount(mountPoint.constData());
        else
            QFile::setPermissions(volume, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });

    for (const char *name : {"hoopinfo.txt", "runnow.cfg"}) {
        QFile file(volume + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old");
    }
    if (mounted) {
        QVERIFY(::mount(nullptr, mountPoint.constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                        nullptr) == 0);
    } else {
        QVERIFY(QFile::setPermissions(volume, QFile::ReadOwner | QFile::ExeOwner));
    }

    QCOMPARE(findHoopVolumeLabel(root()), std::optional<QString>("HOOP"));
    const std::optional<QString> error = writeBootloaderRequest(root(), QStringLiteral("HOOP"));
    QVERIFY(error.has_value());
    QVERIFY(!error->trimmed().isEmpty());
    QFile request(volume + "/runnow.cfg");
    QVERIFY(request.open(QIODevice::ReadOnly));
    QCOMPARE(request.readAll(), QByteArray("old"));
}

QTEST_GUILESS_MAIN(TestHoopVolume)
#include "tst_hoopvolume.moc"
