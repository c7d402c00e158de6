// The launch check against a real catalogue server: what the table, the
// choice, the console and the button show afterwards.

#include "app/appdelegate.h"
#include "app/firmwaretablemodel.h"
#include "app/mainwindow.h"
#include "catalogue/updatecheck.h"
#include "devlogcapture.h"
#include "testserver.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

namespace {

QString firmwareElement(const QString &fileName)
{
    return QStringLiteral("    <FIRMWARE filename=\"%1\" version=\"1.0\" date=\"2026-01-01\" "
                          "MD5=\"0123456789abcdef0123456789abcdef\" desc=\"test\"/>\n")
        .arg(fileName);
}

QString catalogueOf(const QStringList &fileNames)
{
    QString body = QStringLiteral("<?xml version=\"1.0\"?>\n<root>\n  <Hoop>\n");
    for (const QString &name : fileNames)
        body += firmwareElement(name.toHtmlEscaped());
    return body + QStringLiteral("  </Hoop>\n</root>\n");
}

// Serves one catalogue body at the place the application asks for it.
struct CatalogueServer
{
    TestServer server;
    explicit CatalogueServer(const QString &body)
    {
        const std::string bytes = body.toStdString();
        server.http().Get("/fw-updates/updates.xml",
                          [bytes](const httplib::Request &, httplib::Response &response) {
                              response.set_content(bytes, "application/xml");
                          });
        server.start();
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.port()); }
};

Configuration configFor(const QString &serverBase)
{
    Configuration config;
    config.updateServerUrl = serverBase;
    config.bundleId = QStringLiteral("org.example.hoop-updater-test");
    config.tempDir = QDir::tempPath();
    return config;
}

struct App
{
    AppDelegate delegate;
    MainWindow window;
    explicit App(const QString &serverBase) : delegate(configFor(serverBase))
    {
        window.connectOutlets(delegate);
        window.resize(640, 300);
        window.show();
    }
    void launch()
    {
        // As in the application: the launch handler runs once the window is up.
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        delegate.applicationDidFinishLaunching();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
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

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void init() { fwList.reset(); }

    void severalEntries_data();
    void severalEntries();
    void oneEntry();
    void unavailable_data();
    void unavailable();
    void tableShowingNoRowsKeepsPlaceholder();
    void namesThatAreNotSafe_data();
    void namesThatAreNotSafe();
    void clickingChangesTheChoice();
};

void TestUpdateCheck::severalEntries_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("three") << 3;
    QTest::newRow("more than the view shows") << 60;
}

void TestUpdateCheck::severalEntries()
{
    QFETCH(int, count);
    QStringList files, names;
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("fw-%1").arg(QChar(u'a' + i % 26)) + QString::number(i / 26);
        files << names.last() + QStringLiteral(".zip");
    }
    CatalogueServer server(catalogueOf(files));
    App app(server.base());
    DevLogCapture log;
    app.launch();

    QCOMPARE(app.rowsShown(), names);
    QCOMPARE(app.delegate.tableData(), names);
    QCOMPARE(selectedRow(app.table()), count - 1);
    QCOMPARE(app.delegate.selectedTableItemValue(), names.last());
    QVERIFY(log.contains(QStringLiteral("Selected table value: ") + names.last()));
    QVERIFY(log.lines().join(QString()).contains(QStringLiteral("\nFW List: ")));
    QCOMPARE(app.console(), checking + ready);
    QVERIFY(app.window.buildButton()->isEnabled());
    QVERIFY(fwList && fwList->size() == count);
    // The selected last row is scrolled into view.
    const QRect lastRow = app.table()->visualRect(app.table()->model()->index(count - 1, 0));
    QVERIFY(app.table()->viewport()->rect().intersects(lastRow));
}

void TestUpdateCheck::oneEntry()
{
    CatalogueServer server(catalogueOf({QStringLiteral("fw-a.zip")}));
    App app(server.base());
    app.launch();

    QCOMPARE(app.rowsShown(), QStringList{QStringLiteral("fw-a")});
    QCOMPARE(selectedRow(app.table()), -1);
    QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
    QVERIFY(fwList && fwList->size() == 1);
    QCOMPARE(fwList->first().toMap().value(QStringLiteral("filename")).toString(),
             QStringLiteral("fw-a.zip"));
    QCOMPARE(app.console(), checking + ready);
    QVERIFY(app.window.buildButton()->isEnabled());
}

void TestUpdateCheck::unavailable_data()
{
    QTest::addColumn<QString>("body"); // empty: nothing listens
    QTest::newRow("server unreachable") << QString();
    QTest::newRow("no firmware entries") << QStringLiteral("<root><Hoop/></root>");
    QTest::newRow("only an empty entry") << QStringLiteral("<root><Hoop><FIRMWARE/></Hoop></root>");
    QTest::newRow("FIRMWARE is an attribute")
        << QStringLiteral("<root><Hoop FIRMWARE=\"x.zip\"/></root>");
    QTest::newRow("HTML error page")
        << QStringLiteral("<html><body><h1>Service unavailable</h1></body></html>");
}

void TestUpdateCheck::unavailable()
{
    QFETCH(QString, body);
    LoopbackSocket refusing(LoopbackSocket::Refusing);
    std::unique_ptr<CatalogueServer> server;
    if (!body.isEmpty())
        server = std::make_unique<CatalogueServer>(body);
    App app(server ? server->base() : QStringLiteral("http://127.0.0.1:%1").arg(refusing.port()));
    app.launch();

    QCOMPARE(app.console(), checking + unable);
    QVERIFY(!app.window.buildButton()->isEnabled());
    QVERIFY(app.table()->isEnabled());
    QCOMPARE(app.rowsShown(), QStringList{QString()});
    QVERIFY(!fwList);
    QVERIFY(!app.delegate.selectedTableItemValue());
}

void TestUpdateCheck::tableShowingNoRowsKeepsPlaceholder()
{
    CatalogueServer server(catalogueOf({QStringLiteral("fw-a.zip"), QStringLiteral("fw-b.zip")}));
    App app(server.base());
    // The view has been loaded while the list was empty; the list then got its
    // placeholder back without the view being told.
    app.delegate.setTableData({});
    reloadData(app.table());
    app.delegate.setTableData({QString()});
    QCOMPARE(numberOfRows(app.table()), 0);

    app.launch();
    QCOMPARE(app.rowsShown(), (QStringList{QString(), "fw-a", "fw-b"}));
    QCOMPARE(selectedRow(app.table()), 2);
    QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-b"));
}

void TestUpdateCheck::namesThatAreNotSafe_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("rows"); // empty: the check fails

    auto withEntries = [](const QString &entries) {
        return QStringLiteral("<root><Hoop>%1</Hoop></root>").arg(entries);
    };
    const QString good = QStringLiteral("<FIRMWARE filename=\"good.zip\" MD5=\"x\"/>");
    QTest::newRow("four characters give an empty name")
        << withEntries(QStringLiteral("<FIRMWARE filename=\".zip\"/>")) << QStringList{QString()};
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
    QTest::newRow("attribute and child under one name")
        << QStringLiteral("<root><Hoop FIRMWARE=\"a.zip\">%1%1</Hoop></root>").arg(good)
        << QStringList{QStringLiteral("good"), QStringLiteral("good")};
    QTest::newRow("non-ASCII name kept")
        << withEntries(QStringLiteral("<FIRMWARE filename=\"Früh-Ω.zip\"/>"))
        << QStringList{QStringLiteral("Früh-Ω")};
    QTest::newRow("nothing usable")
        << withEntries(QStringLiteral("<FIRMWARE filename=\"../x.zip\"/><FIRMWARE filename=\"\"/>"))
        << QStringList{};
}

void TestUpdateCheck::namesThatAreNotSafe()
{
    QFETCH(QString, body);
    QFETCH(QStringList, rows);
    CatalogueServer server(body);
    App app(server.base());
    DevLogCapture log;
    app.launch();

    if (rows.isEmpty()) {
        QCOMPARE(app.console(), checking + unable);
        QVERIFY(!app.window.buildButton()->isEnabled());
        QVERIFY(!fwList);
        return;
    }
    QCOMPARE(app.rowsShown(), rows);
    QCOMPARE(app.delegate.selectedTableItemValue(), rows.last());
    QVERIFY(app.window.buildButton()->isEnabled());
    // The run only ever sees entries with usable names.
    QCOMPARE(fwList->size(), rows.size());
    for (const QVariant &entry : *fwList)
        QVERIFY(firmwareNameOf(entry).has_value());
}

void TestUpdateCheck::clickingChangesTheChoice()
{
    CatalogueServer server(catalogueOf(
        {QStringLiteral("fw-a.zip"), QStringLiteral("fw-b.zip"), QStringLiteral("fw-c.zip")}));
    App app(server.base());
    QVERIFY(QTest::qWaitForWindowExposed(&app.window));
    app.launch();
    QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-c"));

    DevLogCapture log;
    const QRect first = app.table()->visualRect(app.table()->model()->index(0, 0));
    QTest::mouseClick(app.table()->viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("Selected table value: fw-a")});

    // Every column asks for the same value.
    QCOMPARE(app.delegate.tableViewObjectValueForTableColumnRow(app.table(), 3, 1),
             QStringLiteral("fw-b"));

    log.clear();
    app.table()->clearSelection();
    QCOMPARE(selectedRow(app.table()), -1);
    QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
    QVERIFY(log.lines().isEmpty());
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
