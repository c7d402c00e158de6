// What the window gives for support: the diagnostic report (its sections, the
// developer-log buffer it quotes, the menu command that puts it on the
// clipboard) and File -> Save Log.

#include "app/buildconfig.h"
#include "app/diagnosticreport.h"
#include "devlogcapture.h"
#include "e2eharness.h"
#include "platform/devlog.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTest>

Q_DECLARE_METATYPE(DiagnosticInputs)

namespace {

// The lines under "== name..." up to the blank line before the next heading.
QString sectionBody(const QString &report, const QString &name)
{
    const qsizetype heading = report.indexOf(QStringLiteral("== ") + name);
    if (heading < 0)
        return QStringLiteral("(no such section)");
    const qsizetype start = report.indexOf(u'\n', heading) + 1;
    const qsizetype end = report.indexOf(QStringLiteral("\n\n== "), start);
    return report.mid(start, (end < 0 ? report.size() - 1 : end + 1) - start);
}

UsbDevice device(quint16 product, quint8 address, UsbAccess access, const char *error = "")
{
    return UsbDevice{0x03eb, product, 1, address, access, QString::fromLatin1(error)};
}

} // namespace

class TestDiagnosticReport : public QObject
{
    Q_OBJECT

private slots:
    // The menu test below holds the sections as the program fills them; these
    // are the cases it cannot reach.
    void sections_data()
    {
        QTest::addColumn<DiagnosticInputs>("inputs");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("body");
        DiagnosticInputs sample;
        sample.toolPath = QStringLiteral("/opt/dfu-programmer");
        sample.usbDevices = QList<UsbDevice>();
        DiagnosticInputs in = sample;
        QTest::newRow("no devices") << in << "USB devices"
                                    << "(none)\n";
        in.usbDevices.reset();
        QTest::newRow("no USB") << in << "USB devices"
                                << "(USB could not be looked at)\n";
        in = sample;
        in.toolPath = QString();
        in.toolVersion = QStringLiteral("(no tool to ask for its version)");
        QTest::newRow("no tool") << in << "DFU tool"
                                 << "(not bundled)\n(no tool to ask for its version)\n";
        in = sample;
        in.usbDevices = QList<UsbDevice>{device(0x2ff6, 5, UsbAccess::Denied),
                                         device(0x2ff6, 6, UsbAccess::Opened),
                                         device(0x6124, 17, UsbAccess::Failed, "LIBUSB_ERROR_BUSY"),
                                         device(0x0a0b, 7, UsbAccess::Untried)};
        QTest::newRow("devices") << in << "USB devices"
                                 << "03eb:2ff6 bus 1 address 5: may not be opened (no permission)\n"
                                    "03eb:2ff6 bus 1 address 6: may be opened\n"
                                    "03eb:6124 bus 1 address 17: may not be opened "
                                    "(LIBUSB_ERROR_BUSY)\n"
                                    "03eb:0a0b bus 1 address 7: not opened while an update runs\n";
        in = sample;
        in.consoleText = QStringLiteral("a\n\nChecking for hoop in DFU mode... ");
        QTest::newRow("console with an open line") << in << "Console"
                                                   << "a\n\nChecking for hoop in DFU mode... \n";
    }
    void sections()
    {
        QFETCH(DiagnosticInputs, inputs);
        QFETCH(QString, section);
        QFETCH(QString, body);
        const QString report = diagnosticReport(inputs);
        QCOMPARE(sectionBody(report, section), body);
        qsizetype at = 0;
        for (const char *heading :
             {"Program", "DFU tool", "Update server", "USB devices of vendor 03eb", "Console",
              "Developer log, last "}) {
            const qsizetype next = report.indexOf(QStringLiteral("\n\n== ") + heading, at);
            QVERIFY2(next > at, heading);
            at = next;
        }
    }

    void devLogBuffer_data()
    {
        QTest::addColumn<QStringList>("logged");
        QTest::addColumn<QStringList>("tail");
        QStringList many;
        for (int i = 0; i < 600; ++i)
            many << QString::number(i);
        QTest::newRow("the last 500 calls") << many << many.mid(100);
        QTest::newRow("a call of several lines")
            << QStringList{QStringLiteral("\nFW List: a\nb\n")}
            << QStringList{QString(), QStringLiteral("FW List: a"), QStringLiteral("b")};
        QTest::newRow("a long line is cut")
            << QStringList{QString(3000, u'x')} << QStringList{QString(2000, u'x') + " [cut]"};
    }
    void devLogBuffer()
    {
        QFETCH(QStringList, logged);
        QFETCH(QStringList, tail);
        DevLogCapture quiet;
        for (const QString &text : logged)
            devLog(text);
        const QStringList kept = recentDevLogLines();
        QVERIFY(kept.size() <= 500);
        QCOMPARE(kept.mid(kept.size() - tail.size()), tail);
    }

    void copiedFromTheMenu()
    {
        DevLogCapture quiet;
        UpdateRig rig;
        QVERIFY(rig.toolInstalled && !rig.publishSample(QStringLiteral("hoop-2.0")).isEmpty());
        QVERIFY(rig.launch());
        devLog(QStringLiteral("a developer line"));
        rig.window->copyDiagnosticReportAction()->trigger();
        const QString report = QGuiApplication::clipboard()->text();
        QCOMPARE(sectionBody(report, QStringLiteral("Program")).section(u'\n', 0, 1),
                 QStringLiteral("hoop-updater " HOOP_VERSION "\nQt ") + qVersion());
        QCOMPARE(sectionBody(report, QStringLiteral("DFU tool")),
                 rig.path(QStringLiteral("resources/dfu-programmer")) + "\ndfu-programmer 0.6.1\n");
        QCOMPARE(sectionBody(report, QStringLiteral("Update server")),
                 rig.config.updateServerUrl + "\n");
        QCOMPARE(sectionBody(report, QStringLiteral("Console")), rig.console());
        QVERIFY(
            sectionBody(report, QStringLiteral("Developer log")).endsWith("\na developer line\n"));
    }

    // The saved file holds exactly what the console shows; a file that could
    // not be written is said so in the window.
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

QTEST_MAIN(TestDiagnosticReport)
#include "tst_diagnosticreport.moc"
