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
        QTest::newRow("no firmware entries")
            << QStringLiteral("<root><Hoop/></root>") << QStringList{};
        QTest::newRow("only an empty entry")
            << QStringLiteral("<root><Hoop><FIRMWARE/></Hoop></root>") << QStringList{};
        QTest::newRow("HTML error page")
            << QStringLiteral("<html><body><h1>Service unavailable</h1></body></html>")
            << QStringList{};
        const QString entry = QStringLiteral("<FIRMWARE filename=\"a.zip\"/>");
        QTest::newRow("another document element")
            << QStringLiteral("<catalogue><Hoop>%1</Hoop></catalogue>").arg(entry) << QStringList{};
        QTest::newRow("no Hoop") << QStringLiteral("<root><Device>%1</Device></root>").arg(entry)
                                 << QStringList{};
        QTest::newRow("two Hoop elements")
            << QStringLiteral("<root><Hoop>%1</Hoop><Hoop>%1</Hoop></root>").arg(entry)
            << QStringList{};
        QString laughs = QStringLiteral("<!DOCTYPE root [<!ENTITY l0 \"lol\">");
        for (int i = 1; i < 10; ++i)
            laughs += QStringLiteral("<!ENTITY l%1 \"%2\">")
                          .arg(i)
                          .arg(QStringLiteral("&l%1;").arg(i - 1).repeated(10));
        QTest::newRow("entity expansion bomb")
            << laughs + QStringLiteral("]><root>&l9;<Hoop>%1</Hoop></root>").arg(entry)
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
        LoopbackSocket refusing(LoopbackSocket::Refusing);
        std::unique_ptr<CatalogueServer> server;
        if (!body.isEmpty())
            server = std::make_unique<CatalogueServer>(body);
        App app(server ? server->base()
                       : QStringLiteral("http://127.0.0.1:%1").arg(refusing.port()));
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

        log.clear();
        app.table()->clearSelection();
        QCOMPARE(selectedRow(app.table()), -1);
        QCOMPARE(app.delegate.selectedTableItemValue(), QStringLiteral("fw-a"));
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
