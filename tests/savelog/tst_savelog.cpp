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
    void savedLogEqualsTheConsole_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("existing"); // null: no file there before
        QTest::newRow("new file") << QStringLiteral("log.txt") << QByteArray();
        QTest::newRow("longer old file replaced")
            << QStringLiteral("log.txt") << QByteArray(4096, 'x');
        QTest::newRow("no such directory") << QStringLiteral("missing/log.txt") << QByteArray();
    }
    void savedLogEqualsTheConsole()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, existing);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!existing.isNull())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(existing) && file.flush());
        file.close();
        MainWindow window;
        // Not only ASCII, and the last piece not ended, as during a DFU wait.
        const QString text = QStringLiteral("Checking...\nVolume label: \u00e9t\u00e9 \u2014 100%\n"
                                            "Checking for hoop in DFU mode... ");
        window.outputText()->setPlainText(text);
        const bool saved = !name.contains(u'/');
        QCOMPARE(window.saveLogTo(path), saved);
        auto *box = window.findChild<QMessageBox *>();
        QCOMPARE(!box, saved);
        if (saved) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), text.toUtf8());
        } else {
            QVERIFY(box->isVisible() && box->text().contains(QDir::toNativeSeparators(path)));
            QVERIFY(!box->informativeText().isEmpty() && !QFile::exists(path));
        }
    }
};

QTEST_MAIN(TestSaveLog)
#include "tst_savelog.moc"
