// The application shell: the launch check against a real catalogue server,
// the window's states, the log console, and what the window gives for
// support (the diagnostic report and File -> Save Log).

#include "app/buildconfig.h"
#include "app/diagnosticreport.h"
#include "app/firmwaretablemodel.h"
#include "devlogcapture.h"
#include "e2eharness.h"
#include "filesizelimit.h"
#include "platform/devlog.h"
#include "testserver.h"
#include "update/intelhex.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTextDocument>

#include <atomic>
#include <thread>

Q_DECLARE_METATYPE(DiagnosticInputs)

namespace {

QString catalogueOf(const QStringList &fileNames)
{
    QStringList entries;
    for (const QString &name : fileNames)
        entries << UpdateRig::entry(name, QStringLiteral("0123456789abcdef0123456789abcdef"));
    return UpdateRig::catalogue(entries);
}

QStringList rowsShown(const UpdateRig &rig)
{
    QStringList rows;
    for (int row = 0; row < rig.window->tableView()->model()->rowCount(); ++row)
        rows << rig.window->tableView()->model()->index(row, 0).data().toString();
    return rows;
}

const QString checking = QStringLiteral("Checking for updates...\n");
const QString ready = QStringLiteral("Select a firmware and hit \"Update Firmware\"\n");
const QString unable = QStringLiteral(
    "Unable to check for latest firmware. Check your internet connection and restart the app.\n");

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
    return UsbDevice{0x03eb, product, 1, address, {}, access, QString::fromLatin1(error)};
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject
{
public:
    PaintCounter(QWidget *widget, int &count) : QObject(widget), m_count(count)
    {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        m_count += event->type() == QEvent::Paint;
        return false;
    }

private:
    int &m_count;
};

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void init() { fwList.reset(); }

    // Each row: the catalogue served (none: nothing listens) and the rows the
    // table then shows (none: the check fails).
    void launchCheck_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("cause"); // the line before the usual one, when nothing is shown
        QTest::addColumn<bool>("prefetched");

        for (int count : {1, 3, 60}) {
            QStringList files, names;
            for (int i = 0; i < count; ++i) {
                names << QStringLiteral("fw-%1").arg(QChar(u'a' + i % 26)) +
                             QString::number(i / 26);
                files << names.last() + QStringLiteral(".zip");
            }
            QTest::addRow("%d entries", count) << catalogueOf(files) << names << QString() << false;
            if (count == 3)
                QTest::addRow("%d entries, prefetched", count)
                    << catalogueOf(files) << names << QString() << true;
        }
        // A build that trusts a key takes no list without its signature.
        for (bool prefetched : {false, true})
            QTest::addRow("signature missing%s", prefetched ? ", prefetched" : "")
                << catalogueOf({"a.zip"}) << QStringList{}
                << "The firmware list's signature does not verify: it is missing.\n"
                << prefetched;
        const QString otherXml =
            QStringLiteral("The update server's reply is not a firmware list: it is XML of another "
                           "kind.\n");
        const QString entry = QStringLiteral("<FIRMWARE filename=\"a.zip\"/>");
        QTest::newRow("no Hoop") << QStringLiteral("<root><Device>%1</Device></root>").arg(entry)
                                 << QStringList{} << otherXml << false;
        auto withEntries = [](const QString &entries) {
            return QStringLiteral("<root><Hoop>%1</Hoop></root>").arg(entries);
        };
        const QString good = QStringLiteral("<FIRMWARE filename=\"good.zip\" MD5=\"x\"/>");
        QTest::newRow("unsafe names skipped")
            << withEntries(QStringLiteral("<FIRMWARE filename=\"../../etc/evil.zip\"/>"
                                          "<FIRMWARE filename=\"sub/dir.zip\"/>") +
                           good +
                           QStringLiteral("<FIRMWARE filename=\"back\\slash.zip\"/>"
                                          "<FIRMWARE filename=\"tab&#9;name.zip\"/>"
                                          "<FIRMWARE filename=\"...zip\"/>"
                                          "<FIRMWARE filename=\"..zip\"/>"
                                          "<FIRMWARE filename=\"abc\"/>"
                                          "<FIRMWARE version=\"no file name\"/>"))
            << QStringList{QStringLiteral("good")} << QString() << false;
        // Only a name that ends in ".zip" as written can be fetched; the newest
        // of those is preselected.
        QTest::newRow("entries not ending in .zip, mixed")
            << withEntries(QStringLiteral("<FIRMWARE filename=\"hoop-3.0.0.zip\"/>"
                                          "<FIRMWARE filename=\"hoop-3.1.0.zip\"/>"
                                          "<FIRMWARE filename=\"hoop-3.1.1.ZIP\"/>"
                                          "<FIRMWARE filename=\"hoop-3.1.2zip\"/>"
                                          "<FIRMWARE filename=\"hoop-3.2.0.bin\"/>"))
            << QStringList{QStringLiteral("hoop-3.0.0"), QStringLiteral("hoop-3.1.0")} << QString()
            << false;
        QTest::newRow("entries not ending in .zip, alone")
            << withEntries(QStringLiteral("<FIRMWARE filename=\"hoop-3.2.0.bin\"/>"
                                          "<FIRMWARE filename=\"hoop-3.1.0.Zip\"/>"
                                          "<FIRMWARE filename=\"hoop-3.0.0.zip.sig\"/>"))
            << QStringList{}
            << "The firmware list has no firmware this program can install (the developer log "
               "says why).\n"
            << false;
    }
    void launchCheck()
    {
        QFETCH(QString, body);
        QFETCH(QStringList, rows);
        QFETCH(QString, cause);
        QFETCH(bool, prefetched);
        DevLogCapture log;
        UpdateRig rig;
        rig.config.updateServerUrl = QStringLiteral("http://127.0.0.1:1"); // nothing listens
        rig.writeCatalogue(body);
        const bool signedBuild =
            QByteArray(QTest::currentDataTag()).startsWith("signature missing");
        if (signedBuild)
            rig.config.catalogueTrust.publicKeys = {
                QStringLiteral("RWSuTg1p13RTyaHlT56dwf7bv/u8XSoESPIUnvwJLwwUlI57e5DaUD4c")};
        // Prefetched as the application does it, by way of the fetching program.
        if (prefetched)
            rig.config.fetchHelper = QStringLiteral(FETCH_HELPER);
        rig.launch(!body.isEmpty(), prefetched);
        // Each entry left out for its extension says so, once.
        QCOMPARE(log.lines().filter(QStringLiteral("does not end in \".zip\"")).size(),
                 body.count(QStringLiteral("filename=")) - body.count(QStringLiteral(".zip\"")));

        if (rows.isEmpty()) {
            QCOMPARE(rig.console(), checking + cause + unable);
            QVERIFY(!rig.window->buildButton()->isEnabled());
            QVERIFY(rig.window->tableView()->isEnabled());
            QCOMPARE(rowsShown(rig), QStringList{QString()});
            QVERIFY(!fwList);
            QVERIFY(!rig.delegate->selectedTableItemValue());
            return;
        }
        QCOMPARE(rig.console(), checking + ready);
        QVERIFY(rig.window->buildButton()->isEnabled());
        QCOMPARE(rowsShown(rig), rows);
        // The last row is chosen, and selected and in view when there are several.
        QCOMPARE(rig.delegate->selectedTableItemValue(), rows.last());
        QCOMPARE(selectedRow(rig.window->tableView()),
                 qint64(rows.size() > 1 ? rows.size() - 1 : -1));
        const QModelIndex last = rig.window->tableView()->model()->index(int(rows.size() - 1), 0);
        QVERIFY(rig.window->tableView()->viewport()->rect().intersects(
            rig.window->tableView()->visualRect(last)));
        // The run only ever sees entries with usable names.
        QCOMPARE(fwList->size(), rows.size());
        for (const QVariant &entry : *fwList)
            QVERIFY(firmwareNameOf(entry).has_value());
    }
    // The whole update without a mouse: Tab moves the focus and never the
    // choice, the arrows move the choice, and the focused button takes a key.
    void keyboardAlone_data()
    {
        QTest::addColumn<int>("press");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
    }
    void keyboardAlone()
    {
        QFETCH(int, press);
        UpdateRig rig;
        rig.writeCatalogue(catalogueOf(
            {QStringLiteral("fw-a.zip"), QStringLiteral("fw-b.zip"), QStringLiteral("fw-c.zip")}));
        QVERIFY(rig.launch());
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QTableView *table = rig.window->tableView();
        QPushButton *button = rig.window->buildButton();
        const auto key = [](int code, Qt::KeyboardModifiers modifiers = {}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(code), modifiers);
        };
        QTRY_COMPARE(QApplication::focusWidget(), table);
        // Table, button, console, and back round.
        const QList<QWidget *> order{button, rig.window->outputText(), table};
        for (QWidget *next : order) {
            key(Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
            QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw-c"));
        }
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), rig.window->outputText());
        key(Qt::Key_Tab);
        key(Qt::Key_Up);
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw-b"));
        key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        key(press);
        QVERIFY(rig.delegate->updateRunner().hasStarted());
        QVERIFY(!button->isEnabled());
        QVERIFY(rig.delegate->updateRunner().wait(60000));
        UpdateRig::drain();
        QVERIFY(rig.console().contains(QStringLiteral("Fetching firmware update... (fw-b)")));
    }
    void endOfTextStaysInView()
    {
        UpdateRig rig;
        rig.open();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        QScrollBar *bar = rig.window->outputText()->verticalScrollBar();
        // Also after a piece without a line end.
        for (int batch = 0; batch < 3; ++batch) {
            for (int i = 0; i < 100; ++i)
                rig.delegate->updateUILog(
                    QStringLiteral("line %1 of batch %2\n").arg(i).arg(batch));
            rig.delegate->updateUILog(QStringLiteral("no line end"));
            UpdateRig::drain();
            QVERIFY(bar->maximum() > 0);
            QCOMPARE(bar->value(), bar->maximum());
        }
        // A resize that rewraps the lines or shows fewer of them keeps the end in view.
        for (const QSize size : {QSize(500, 330), QSize(900, 700), QSize(480, 320)}) {
            rig.window->resize(size);
            QTRY_COMPARE(rig.window->size(), size);
            UpdateRig::drain();
            QCOMPARE(bar->value(), bar->maximum());
        }
        // Scrolled back by the reader, it stays where the reader left it.
        bar->setValue(bar->maximum() / 2);
        rig.window->resize(700, 500);
        UpdateRig::drain();
        QVERIFY(bar->value() < bar->maximum());
    }
    // While the catalogue is slow to come, the window goes on: it paints,
    // and a file can be opened; the check's result then lands as it would
    // have without the wait.
    void windowLivesWhileTheCheckWaits()
    {
        std::atomic<bool> answer{false};
        TestServer server;
        server.http().Get("/fw-updates/updates.xml", [&answer](const httplib::Request &,
                                                               httplib::Response &response) {
            // Bounded, so that a check that blocks the window fails rather than hangs.
            for (int i = 0; i < 1000 && !answer; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            response.set_content(catalogueOf({"fw-a.zip", "fw-b.zip"}).toStdString(), "text/xml");
        });
        server.start();
        UpdateRig rig;
        rig.config.updateServerUrl = server.url(QString());
        rig.open();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        rig.delegate->applicationDidFinishLaunching();
        const QString file = rig.path(QStringLiteral("mine.hex"));
        UpdateRig::writeFile(file, QByteArray::fromStdString(writeIntelHex(
                                       0x80002000u, std::vector<std::uint8_t>(16, 1))));

        int paints = 0;
        PaintCounter counter(rig.window->outputText()->viewport(), paints);
        for (int i = 0; i < 3; ++i) {
            rig.window->outputText()->viewport()->update();
            QTRY_VERIFY(paints > i);
        }
        QVERIFY(rig.delegate->launchCheck().isActive());
        QVERIFY(!rig.window->buildButton()->isEnabled());
        rig.delegate->openFirmwareFile(file);
        UpdateRig::drain();
        QVERIFY(rig.window->buildButton()->isEnabled());

        answer = true;
        rig.waitForCheck();
        const QString chosen = QStringLiteral("Firmware file chosen: ") + file +
                               QStringLiteral(" (16 bytes of firmware)\n");
        QCOMPARE(rig.console(), checking + chosen + ready);
        QCOMPARE(rowsShown(rig), QStringList({"fw-a", "fw-b", "mine"}));
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("mine"));
        QCOMPARE(selectedRow(rig.window->tableView()), 2);
        QVERIFY(rig.delegate->firmwareChoice().file() != nullptr);
        QVERIFY(rig.window->buildButton()->isEnabled());
    }
    // A file from disk named like an entry gets a row of the same text, told
    // apart by its icon and its path; entries show what the catalogue says of them.
    void rowsTellThemselvesApart()
    {
        UpdateRig rig;
        rig.writeCatalogue(QStringLiteral(
            "<root><Hoop><FIRMWARE filename=\"fw.zip\" version=\"3.1\" date=\"2027-01-05\" "
            "desc=\"Brighter reds\"/><FIRMWARE filename=\"bare.zip\"/>"
            "<FIRMWARE filename=\"beta.zip\" desc=\"&lt;i&gt;beta&lt;/i&gt;\"/></Hoop></root>"));
        QVERIFY(rig.launch());
        const QString file = rig.path(QStringLiteral("fw.hex"));
        UpdateRig::writeFile(file, QByteArray::fromStdString(writeIntelHex(
                                       0x80002000u, std::vector<std::uint8_t>(16, 1))));
        rig.delegate->openFirmwareFile(file);
        UpdateRig::drain();
        QCOMPARE(rowsShown(rig), QStringList({"fw", "bare", "beta", "fw"}));

        const QAbstractItemModel *model = rig.window->tableView()->model();
        auto at = [model](int row, int role) {
            return model->data(model->index(row, 0), role);
        };
        // The entry: its details.
        const QString details = QStringLiteral("Version 3.1\nPublished 2027-01-05\nBrighter reds");
        QCOMPARE(at(0, Qt::AccessibleDescriptionRole).toString(), details);
        QCOMPARE(at(0, Qt::ToolTipRole).toString(), details);
        QVERIFY(at(0, Qt::DecorationRole).isNull());
        // Markup from the catalogue is shown as written, not rendered.
        QCOMPARE(at(2, Qt::ToolTipRole).toString(),
                 Qt::convertFromPlainText(QStringLiteral("<i>beta</i>"), Qt::WhiteSpaceNormal));
        // An entry that says nothing of itself is shown by its name.
        QCOMPARE(at(1, Qt::ToolTipRole).toString(), QStringLiteral("bare"));
        QVERIFY(at(1, Qt::AccessibleDescriptionRole).isNull());
        // The file: an icon, and its full path.
        QVERIFY(!at(3, Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(at(3, Qt::ToolTipRole).toString(), file);
        QVERIFY(at(3, Qt::AccessibleDescriptionRole).toString().endsWith(file));
    }
    void clickingChangesTheChoice()
    {
        UpdateRig rig;
        rig.writeCatalogue(catalogueOf(
            {QStringLiteral("fw-a.zip"), QStringLiteral("fw-b.zip"), QStringLiteral("fw-c.zip")}));
        rig.launch();
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw-c"));

        DevLogCapture log;
        const QRect first =
            rig.window->tableView()->visualRect(rig.window->tableView()->model()->index(0, 0));
        QTest::mouseClick(rig.window->tableView()->viewport(), Qt::LeftButton, {}, first.center());
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw-a"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("Selected table value: fw-a")});

        log.clear();
        rig.window->tableView()->clearSelection();
        QCOMPARE(selectedRow(rig.window->tableView()), -1);
        QCOMPARE(rig.delegate->selectedTableItemValue(), QStringLiteral("fw-a"));
        QVERIFY(log.lines().isEmpty());
    }
    void startTaskEntersRunning()
    {
        UpdateRig rig;
        rig.open();
        rig.delegate->applicationDidFinishLaunching();
        rig.waitForCheck();
        rig.window->buildButton()->setEnabled(true); // as after a successful check
        const QString before = rig.console();
        DevLogCapture log;

        rig.delegate->startTask();
        QVERIFY(!rig.window->buildButton()->isEnabled());
        QVERIFY(!rig.window->tableView()->isEnabled());
        QVERIFY(isAnimating(rig.window->spinner()));
        QCOMPARE(rig.console(), before); // disabled before the run's first line can show

        // One run per launch: starting again after it ended starts nothing.
        QVERIFY(rig.delegate->updateRunner().wait(60000));
        rig.delegate->startTask();
        QVERIFY(rig.delegate->updateRunner().wait(60000));
        QCOMPARE(log.lines().filter(QStringLiteral("ChosenFW: ")).size(), 1);
    }

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
        in.toolBundled = false;
        in.toolVersion = QStringLiteral("dfu-programmer 0.6.1");
        QTest::newRow("the system's tool") << in << "DFU tool"
                                           << "/opt/dfu-programmer (the system's; none bundled)\n"
                                              "dfu-programmer 0.6.1\n";
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
            << QStringList{QStringLiteral("\nFW List: a\n\nb\n")}
            << QStringList{QStringLiteral("FW List: a"), QStringLiteral("b")};
        QTest::newRow("calls with no text leave nothing")
            << QStringList{"a", "", "\n\n"} << QStringList{"a"};
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
        QGuiApplication::clipboard()->clear();
        rig.window->copyDiagnosticReportAction()->trigger();
        // Built on a thread of its own: the window goes on at once.
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        QTRY_VERIFY(!QGuiApplication::clipboard()->text().isEmpty());
        const QString report = QGuiApplication::clipboard()->text();
        QCOMPARE(sectionBody(report, QStringLiteral("Program")).section(u'\n', 0, 1),
                 QStringLiteral("hoop-updater " HOOP_VERSION "\nQt ") + qVersion());
        QCOMPARE(sectionBody(report, QStringLiteral("DFU tool")),
                 rig.path(QStringLiteral("resources/dfu-programmer")) + "\ndfu-programmer 0.6.1\n");
        QCOMPARE(sectionBody(report, QStringLiteral("Update server")),
                 rig.config.updateServerUrl +
                     "\nSet by: built in\nFirmware list signature: not required (no keys)\n");
        QCOMPARE(sectionBody(report, QStringLiteral("Console")), rig.console());
        QVERIFY(
            sectionBody(report, QStringLiteral("Developer log")).endsWith("\na developer line\n"));
    }

    // Saved to a file, the report is what the clipboard gets; a disk too full
    // for it is said so in the window.
    void reportSavedToAFile_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("saved") << false;
        QTest::newRow("disk full") << true;
    }
    void reportSavedToAFile()
    {
        QFETCH(bool, full);
        DevLogCapture quiet;
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        QVERIFY(rig.launch());
        const QString path = rig.path(QStringLiteral("report.txt"));
        {
            const FileSizeLimit cap(full ? 16 : RLIM_INFINITY);
            rig.window->saveDiagnosticReportTo(path);
            QTRY_VERIFY(QFile::exists(path) || rig.window->findChild<QMessageBox *>());
        }
        QCOMPARE(rig.window->findChild<QMessageBox *>() != nullptr, full);
        QFile file(path);
        QCOMPARE(file.open(QIODevice::ReadOnly), !full);
        if (!full)
            QCOMPARE(sectionBody(QString::fromUtf8(file.readAll()), QStringLiteral("Console")),
                     rig.console());
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
        QTest::newRow("disk full") << QStringLiteral("log.txt") << QByteArray();
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
        const bool full = QTest::currentDataTag() == QByteArray("disk full");
        const bool saved = !name.contains(u'/') && !full;
        {
            const FileSizeLimit cap(full ? 16 : RLIM_INFINITY);
            QCOMPARE(window.saveLogTo(path), saved);
        }
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

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
