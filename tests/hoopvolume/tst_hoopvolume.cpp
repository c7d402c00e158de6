#include "filesizelimit.h"
#include "platform/platformpaths.h"
#include "update/hoopvolume.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
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

        QTest::newRow("empty root") << QStringList{} << "";
        QTest::newRow("request file without marker") << QStringList{"HOOP/runnow.cfg"} << "";
        QTest::newRow("marker file") << QStringList{"USB/", "HOOP/hoopinfo.txt"} << "media/HOOP";
        QTest::newRow("marker is a directory") << QStringList{"HOOP/hoopinfo.txt/"} << "media/HOOP";
        QTest::newRow("marker in the root itself is no volume")
            << QStringList{"hoopinfo.txt", "plain file"} << "";
        QTest::newRow("link to a hoop directory")
            << QStringList{"linked -> elsewhere", "../elsewhere/hoopinfo.txt"} << "media/linked";
        QTest::newRow("the first root with a hoop wins")
            << QStringList{"../later/B/hoopinfo.txt", "A/hoopinfo.txt"} << "media/A";
        QTest::newRow("a hoop under a later root only")
            << QStringList{"USB/notes.txt", "../later/B/hoopinfo.txt"} << "later/B";
    }
    void search()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, expected);

        lay(entries);
        const std::optional<HoopVolume> found =
            findHoopVolume({m_dir->filePath("gone"), root(), m_dir->filePath("later")});
        QCOMPARE(found ? QDir(m_dir->path()).relativeFilePath(found->mountRoot) + "/" + found->label
                       : QString(),
                 expected);
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
