// File -> Save Log: the saved file holds exactly what the console shows, and
// a file that could not be written is said so in the window.

#include "app/mainwindow.h"

#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

class TestSaveLog : public QObject
{
    Q_OBJECT

private slots:
    void savedLogEqualsTheConsole_data();
    void savedLogEqualsTheConsole();
};

void TestSaveLog::savedLogEqualsTheConsole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("existing"); // null: no file there before
    QTest::addColumn<bool>("saved");
    QTest::newRow("new file") << QStringLiteral("log.txt") << QByteArray() << true;
    QTest::newRow("longer old file replaced")
        << QStringLiteral("log.txt") << QByteArray(4096, 'x') << true;
    QTest::newRow("no such directory")
        << QStringLiteral("missing/log.txt") << QByteArray() << false;
}

void TestSaveLog::savedLogEqualsTheConsole()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, existing);
    QFETCH(bool, saved);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    if (!existing.isNull()) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(existing) == existing.size());
    }
    MainWindow window;
    // Not only ASCII, and the last piece not ended, as during a DFU wait.
    const QString text = QStringLiteral("Checking for updates...\nVolume label: HOOP \u00e9t\u00e9 "
                                        "\u2014 100%\nChecking for hoop in DFU mode... ");
    window.outputText()->setPlainText(text);

    QCOMPARE(window.saveLogTo(path), saved);
    auto *box = window.findChild<QMessageBox *>();
    if (saved) {
        QVERIFY(!box);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text.toUtf8());
    } else {
        QVERIFY(box && box->isVisible());
        QVERIFY(box->text().contains(QDir::toNativeSeparators(path)));
        QVERIFY(!box->informativeText().isEmpty());
        QVERIFY(!QFile::exists(path));
    }
}

QTEST_MAIN(TestSaveLog)
#include "tst_savelog.moc"
