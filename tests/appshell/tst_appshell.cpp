// The application shell: the launch check against a real catalogue server,
// the window's states and the log console.

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "app/firmwaretablemodel.h"
#include "app/mainwindow.h"
#include "catalogue/updatecheck.h"
#include "devlogcapture.h"
#include "testserver.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

namespace {

QString catalogueOf(const QStringList &fileNames)
{
    QString body = QStringLiteral("<?xml version=\"1.0\"?>\n<root>\n  <Hoop>\n");
    for (const QString &name : fileNames)
        body += QStringLiteral("    <FIRMWARE filename=\"%1\" version=\"1.0\" date=\"2026-01-01\" "
                               "MD5=\"0123456789abcdef0123456789abcdef\" desc=\"test\"/>\n")
                    .arg(name.toHtmlEscaped());
    return body + QStringLiteral("  </Hoop>\n</root>\n");
}

// Lets every queued console append run.
void drainEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// The window and its controller, with the catalogue served on loopback; with
// none, nothing answers on port 1 and the check fails at once. No mount root
// or tool exists, so a run ends quickly.
struct App
{
    TestServer server;
    AppDelegate delegate;
    MainWindow window;
    explicit App(const QString &catalogue = QString())
        : delegate([&] {
              Configuration config;
              config.updateServerUrl = catalogue.isEmpty() ? QStringLiteral("http://127.0.0.1:1")
                                                           : server.url(QString());
              config.bundleId = QStringLiteral("org.example.hoop-updater-test");
              config.mountRoots = {QDir::tempPath() + QStringLiteral("/no-such-mount-root")};
              config.resourceDir = QDir::tempPath() + QStringLiteral("/no-such-resources");
              config.tempDir = QDir::tempPath();
              return config;
          }())
    {
        if (!catalogue.isEmpty()) {
            server.http().Get("/fw-updates/updates.xml",
                              [bytes = catalogue.toStdString()](const httplib::Request &,
                                                                httplib::Response &response) {
                                  response.set_content(bytes, "application/xml");
                              });
            server.start();
        }
        window.connectOutlets(delegate);
        window.resize(640, 300);
        window.show();
    }
    void launch()
    {
        // As in the application: the launch handler runs once the window is up.
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        delegate.applicationDidFinishLaunching();
        drainEvents();
    }
    QTableView *table() const { return window.tableView(); }
    QStringList rowsShown() const
    {
        QStringList rows;
        for (int row = 0; row < table()->model()->rowCount(); ++row)
            rows << table()->model()->index(row, 0).data().toString();
        return rows;
    }
    QString console() const { return window.outputText()->toPlainText(); }
};

const QString checking = QStringLiteral("Checking for updates...\n");
const QString ready = QStringLiteral("Select a firmware and hit \"Update Firmware\"\n");
const QString unable = QStringLiteral(
    "Unable to check for latest firmware. Check your internet connection and restart the app.\n");

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

        for (int count : {1, 3, 60}) {
            QStringList files, names;
            for (int i = 0; i < count; ++i) {
                names << QStringLiteral("fw-%1").arg(QChar(u'a' + i % 26)) +
                             QString::number(i / 26);
                files << names.last() + QStringLiteral(".zip");
            }
            QTest::addRow("%d entries", count) << catalogueOf(files) << names;
        }
        QTest::newRow("server unreachable") << QString() << QStringList{};
        const QString entry = QStringLiteral("<FIRMWARE filename=\"a.zip\"/>");
        QTest::newRow("another document element")
            << QStringLiteral("<catalogue><Hoop>%1</Hoop></catalogue>").arg(entry) << QStringList{};
        QTest::newRow("no Hoop") << QStringLiteral("<root><Device>%1</Device></root>").arg(entry)
                                 << QStringList{};
        QTest::newRow("two Hoop elements")
            << QStringLiteral("<root><Hoop>%1</Hoop><Hoop>%1</Hoop></root>").arg(entry)
            << QStringList{};
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
            << QStringList{QStringLiteral("good")};
        QTest::newRow("file name as a child element")
            << withEntries(QStringLiteral("<FIRMWARE><filename>x.zip</filename></FIRMWARE>") + good)
            << QStringList{QStringLiteral("good")};
        QTest::newRow("prefixed names")
            << QStringLiteral("<v:root xmlns:v=\"urn:x\"><v:Hoop><v:FIRMWARE filename=\"a.zip\"/>"
                              "<v:FIRMWARE filename=\"b.zip\"/></v:Hoop></v:root>")
            << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("nothing usable")
            << withEntries(
                   QStringLiteral("<FIRMWARE filename=\"../x.zip\"/><FIRMWARE filename=\"\"/>"))
            << QStringList{};
    }
    void launchCheck()
    {
        QFETCH(QString, body);
        QFETCH(QStringList, rows);
        App app(body);
        app.launch();

        if (rows.isEmpty()) {
            QCOMPARE(app.console(), checking + unable);
            QVERIFY(!app.window.buildButton()->isEnabled());
            QVERIFY(app.table()->isEnabled());
            QCOMPARE(app.rowsShown(), QStringList{QString()});
            QVERIFY(!fwList);
            QVERIFY(!app.delegate.selectedTableItemValue());
            return;
        }
        QCOMPARE(app.console(), checking + ready);
        QVERIFY(app.window.buildButton()->isEnabled());
        QCOMPARE(app.rowsShown(), rows);
        // The last row is chosen, and selected and in view when there are several.
        QCOMPARE(app.delegate.selectedTableItemValue(), rows.last());
        QCOMPARE(selectedRow(app.table()), qint64(rows.size() > 1 ? rows.size() - 1 : -1));
        const QModelIndex last = app.table()->model()->index(int(rows.size() - 1), 0);
        QVERIFY(app.table()->viewport()->rect().intersects(app.table()->visualRect(last)));
        // The run only ever sees entries with usable names.
        QCOMPARE(fwList->size(), rows.size());
        for (const QVariant &entry : *fwList)
            QVERIFY(firmwareNameOf(entry).has_value());
    }
    void clickingChangesTheChoice()
    {
        App app(catalogueOf(
            {QStringLiteral("fw-a.zip"), QStringLiteral("fw-b.zip"), QStringLiteral("fw-c.zip")}));
        app.launch();
        QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-c"));

        DevLogCapture log;
        const QRect first = app.table()->visualRect(app.table()->model()->index(0, 0));
        QTest::mouseClick(app.table()->viewport(), Qt::LeftButton, {}, first.center());
        QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("Selected table value: fw-a")});

        log.clear();
        app.table()->clearSelection();
        QCOMPARE(selectedRow(app.table()), -1);
        QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
        QVERIFY(log.lines().isEmpty());
    }
    void windowHasItsControls()
    {
        App app;
        QCOMPARE(app.window.windowTitle(), QStringLiteral("Vexlume Hoop Updater"));
        QCOMPARE(app.window.buildButton()->text(), QStringLiteral("Update Firmware"));
        QVERIFY(app.window.outputText()->isReadOnly());
        const QFontMetrics metrics(app.window.outputText()->font());
        QCOMPARE(metrics.horizontalAdvance(QLatin1Char('i')),
                 metrics.horizontalAdvance(QLatin1Char('W')));
        QVERIFY(!isAnimating(app.window.spinner()));

        // The console is the part that grows with the window.
        QVERIFY(QTest::qWaitForWindowExposed(&app.window));
        const QSize before = app.window.outputText()->size();
        app.window.resize(1000, 800);
        QTRY_VERIFY(app.window.outputText()->width() > before.width());
        QVERIFY(app.window.outputText()->height() > before.height());
    }
    void launchClearsBeforeQueuedPieces()
    {
        App app;
        app.window.outputText()->setPlainText(QStringLiteral("left over from the layout"));
        app.delegate.updateUILog(QStringLiteral("early piece\n"));
        app.delegate.applicationDidFinishLaunching();
        QCOMPARE(app.console(), QString()); // cleared at once, nothing appended yet
        drainEvents();
        QVERIFY(app.console().startsWith(QStringLiteral("early piece\n")));
        QVERIFY(!app.console().contains(QStringLiteral("left over")));
    }
    void piecesAreShownLiterally_data()
    {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QString>("shown");

        QTest::newRow("continued on the same line")
            << QStringList{"Checking for hoop in DFU mode... ", "Detected.\n"}
            << QStringLiteral("Checking for hoop in DFU mode... Detected.\n");
        QTest::newRow("format sequences") << QStringList{"100% %@ %s %d %n %%\n", "%@"}
                                          << QStringLiteral("100% %@ %s %d %n %%\n%@");
        const QString lone = QString(QChar(0xD800)) + QStringLiteral("x\n"); // unpaired surrogate
        QTest::newRow("invalid UTF-16") << QStringList{lone} << lone;
        QTest::newRow("empty pieces") << QStringList{"", "a", "", "b"} << QStringLiteral("ab");
    }
    void piecesAreShownLiterally()
    {
        QFETCH(QStringList, pieces);
        QFETCH(QString, shown);
        App app;
        DevLogCapture log;
        for (const QString &piece : pieces)
            app.delegate.updateUILog(piece);
        drainEvents();
        QCOMPARE(app.console(), shown);
        QCOMPARE(log.lines(), pieces);
    }
    void endOfTextStaysInView()
    {
        App app;
        QVERIFY(QTest::qWaitForWindowExposed(&app.window));
        QScrollBar *bar = app.window.outputText()->verticalScrollBar();
        // Also after a piece without a line end.
        for (int batch = 0; batch < 3; ++batch) {
            for (int i = 0; i < 100; ++i)
                app.delegate.updateUILog(QStringLiteral("line %1 of batch %2\n").arg(i).arg(batch));
            app.delegate.updateUILog(QStringLiteral("no line end"));
            drainEvents();
            QVERIFY(bar->maximum() > 0);
            QCOMPARE(bar->value(), bar->maximum());
        }
    }
    void startTaskEntersRunning()
    {
        App app;
        app.delegate.applicationDidFinishLaunching();
        drainEvents();
        app.window.buildButton()->setEnabled(true); // as after a successful check
        const QString before = app.console();
        DevLogCapture log;

        app.delegate.startTask();
        QVERIFY(!app.window.buildButton()->isEnabled());
        QVERIFY(!app.window.tableView()->isEnabled());
        QVERIFY(isAnimating(app.window.spinner()));
        QCOMPARE(app.console(), before); // disabled before the run's first line can show

        // One run per launch: starting again after it ended starts nothing.
        QVERIFY(app.delegate.waitForUpdateRun(60000));
        app.delegate.startTask();
        QVERIFY(app.delegate.waitForUpdateRun(60000));
        QCOMPARE(log.lines().filter(QStringLiteral("ChosenFW: ")).size(), 1);
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
