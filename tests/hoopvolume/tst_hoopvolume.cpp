#include "update/hoopvolume.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestHoopVolume : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void search_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<std::optional<QString>>("expected");

        const std::optional<QString> none;
        QTest::newRow("empty root") << QStringList{} << none;
        QTest::newRow("request file without marker") << QStringList{"HOOP/runnow.cfg"} << none;
        QTest::newRow("marker file")
            << QStringList{"USB/", "HOOP/hoopinfo.txt"} << std::optional<QString>("HOOP");
        QTest::newRow("marker is a directory")
            << QStringList{"HOOP/hoopinfo.txt/"} << std::optional<QString>("HOOP");
        QTest::newRow("marker in the root itself is no volume")
            << QStringList{"hoopinfo.txt", "plain file"} << none;
        QTest::newRow("link to a hoop directory")
            << QStringList{"linked -> elsewhere", "../elsewhere/hoopinfo.txt"}
            << std::optional<QString>("linked");
    }
    void search()
    {
        QFETCH(QStringList, entries);
        QFETCH(std::optional<QString>, expected);

        lay(entries);
        QCOMPARE(findHoopVolumeLabel(root()), expected);
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
        QTest::addColumn<QString>("label");
        QTest::addColumn<QByteArray>("earlier");

        QTest::newRow("first request") << "HOOP" << QByteArray();
        QTest::newRow("label with blanks") << "My Hoop 2" << QByteArray("run");
    }
    void request()
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
        QCOMPARE(
            QDir(root() + "/" + label)
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                           QDir::Name),
            QStringList({"hoopinfo.txt", "runnow.cfg"}));
    }
    void requestFails_data()
    {
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("volume gone") << QStringList{"USB/"};
        QTest::newRow("request name taken by a directory") << QStringList{"HOOP/runnow.cfg/"};
    }
    void requestFails()
    {
        QFETCH(QStringList, entries);

        lay(entries);
        const std::optional<QString> error = writeBootloaderRequest(root(), QStringLiteral("HOOP"));
        QVERIFY(error.has_value());
        QVERIFY(!error->trimmed().isEmpty());
        // A vanished volume is not brought back as a plain directory.
        QCOMPARE(QFileInfo::exists(root() + "/HOOP"), entries.first().startsWith("HOOP"));
    }

private:
    QString root() const { return m_dir->filePath(QStringLiteral("media")); }
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
