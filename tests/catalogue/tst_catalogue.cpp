// The catalogue query, end to end against a real HTTP server on loopback.

#include "catalogue/xmlreader.h"
#include "testserver.h"

#include <QTest>

#include <atomic>
#include <map>

namespace {

const char *const digests[] = {"0123456789abcdef0123456789abcdef",
                               "FEDCBA9876543210FEDCBA9876543210",
                               "00112233445566778899aabbccddeeff"};

QString entryXml(int i, const QString &prefix = {})
{
    return QStringLiteral("    <%1FIRMWARE filename=\"fw-%2.zip\" version=\"1.%2\" "
                          "date=\"2024-01-0%2\" MD5=\"%3\" desc=\"Build &amp; test %2\"/>\n")
        .arg(prefix)
        .arg(i)
        .arg(QLatin1String(digests[i % 3]));
}

QVariantMap entry(int i)
{
    return {{"filename", QStringLiteral("fw-%1.zip").arg(i)},
            {"version", QStringLiteral("1.%1").arg(i)},
            {"date", QStringLiteral("2024-01-0%1").arg(i)},
            {"MD5", QLatin1String(digests[i % 3])},
            {"desc", QStringLiteral("Build & test %1").arg(i)},
            {"text", QString()}};
}

QByteArray catalogue(int entries, const QString &root = "root", const QString &hoop = "Hoop",
                     const QByteArray &head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")
{
    QString xml = QStringLiteral("<%1>\n  <%2>\n").arg(root, hoop);
    for (int i = 0; i < entries; ++i)
        xml += entryXml(i);
    xml += QStringLiteral("  </%1>\n</%2>\n").arg(hoop, root);
    return head + xml.toUtf8();
}

QVariant entries(int count)
{
    if (count == 1)
        return entry(0);
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list.append(entry(i));
    return list;
}

// Padded with a comment to exactly size bytes.
QByteArray paddedCatalogue(qsizetype size)
{
    QByteArray xml = catalogue(2);
    const qsizetype fill = size - xml.size() - 7;
    return xml + "<!--" + QByteArray(fill, 'p') + "-->";
}

FetchLimits shortLimits()
{
    FetchLimits limits;
    limits.connectTimeoutSeconds = 2;
    limits.stallSeconds = 1;
    return limits;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void query_data();
    void query();
    void defaultLimits();
    void externalDtdIsNotFetched();
    void deadServer_data();
    void deadServer();

private:
    TestServer server;
    std::map<std::string, QByteArray> documents;
    std::atomic<int> dtdRequests{0};
};

void TestCatalogue::initTestCase()
{
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        qunsetenv(name);
    QVERIFY(server.bound());

    QByteArray prefixed = "<v:root xmlns:v=\"urn:vexlume:hoop\">\n  <v:Hoop>\n";
    for (int i = 0; i < 2; ++i)
        prefixed += entryXml(i, "v:").toUtf8();
    prefixed += "  </v:Hoop>\n</v:root>\n";
    QByteArray laughs = "<!DOCTYPE root [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i)
        laughs += "<!ENTITY l" + QByteArray::number(i) + " \"" +
                  ("&l" + QByteArray::number(i - 1) + ";").repeated(10) + "\">";
    laughs += "]>\n";

    documents = {
        {"/three.xml", catalogue(3)},
        {"/one.xml", catalogue(1)},
        {"/none.xml", catalogue(0)},
        {"/other-root.xml", catalogue(3, "catalogue")},
        {"/no-hoop.xml", catalogue(3, "root", "Device")},
        {"/two-hoops.xml", catalogue(2).replace("</Hoop>", "</Hoop>\n  <Hoop>\n" +
                                                               entryXml(2).toUtf8() + "  </Hoop>")},
        {"/prefixed.xml", prefixed},
        {"/html.xml", "<!DOCTYPE html><html><head><title>Oops</title></head>"
                      "<body><p>Maintenance<br></body></html>"},
        {"/bomb.xml", catalogue(3).replace("<root>", laughs + "<root>&l9;")},
        {"/at-cap.xml", paddedCatalogue(4 * 1024 * 1024)},
        {"/over-cap.xml", paddedCatalogue(4 * 1024 * 1024 + 1)},
        {"/with-dtd.xml",
         catalogue(3, "root", "Hoop",
                   "<!DOCTYPE root SYSTEM \"" + server.url("/catalogue.dtd").toUtf8() + "\">\n")},
    };

    httplib::Server &http = server.http();
    http.Get(R"(/[a-z0-9-]+\.xml)", [this](const httplib::Request &req, httplib::Response &res) {
        const auto it = documents.find(req.path);
        if (it == documents.end()) {
            res.status = 404;
            return;
        }
        res.set_content(it->second.toStdString(), "application/xml");
    });
    http.Get(R"(/status/(\d+))", [this](const httplib::Request &req, httplib::Response &res) {
        res.status = std::stoi(req.matches[1]);
        res.set_content(documents["/three.xml"].toStdString(), "application/xml");
    });
    http.Get("/moved", [this](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(server.url("/three.xml").toStdString());
    });
    http.Get("/loop",
             [](const httplib::Request &, httplib::Response &res) { res.set_redirect("/loop"); });
    http.Get("/catalogue.dtd", [this](const httplib::Request &, httplib::Response &res) {
        ++dtdRequests;
        res.set_content("<!ENTITY e \"injected\">", "application/xml-dtd");
    });
    server.start();
}

void TestCatalogue::cleanupTestCase()
{
    server.stop();
}

void TestCatalogue::query_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariant>("expected"); // invalid: nothing

    QTest::newRow("three entries") << "/three.xml" << entries(3);
    QTest::newRow("one entry, not a list") << "/one.xml" << entries(1);
    QTest::newRow("no entries") << "/none.xml" << QVariant();
    QTest::newRow("another document element") << "/other-root.xml" << QVariant();
    QTest::newRow("no Hoop") << "/no-hoop.xml" << QVariant();
    QTest::newRow("two Hoop elements") << "/two-hoops.xml" << QVariant();
    QTest::newRow("prefixed names") << "/prefixed.xml" << entries(2);
    QTest::newRow("HTML page") << "/html.xml" << QVariant();
    QTest::newRow("entity expansion bomb") << "/bomb.xml" << QVariant();
    QTest::newRow("body at the cap") << "/at-cap.xml" << entries(2);
    QTest::newRow("body over the cap") << "/over-cap.xml" << QVariant();
    QTest::newRow("404 with a catalogue body") << "/status/404" << QVariant();
    QTest::newRow("500 with a catalogue body") << "/status/500" << QVariant();
    QTest::newRow("redirect to the catalogue") << "/moved" << entries(3);
    QTest::newRow("redirect loop") << "/loop" << QVariant();
}

void TestCatalogue::query()
{
    QFETCH(QString, path);
    QFETCH(QVariant, expected);
    QCOMPARE(XMLReader::getFirmwareList(server.url(path), shortLimits()), expected);
}

void TestCatalogue::defaultLimits()
{
    QCOMPARE(XMLReader::getFirmwareList(server.url("/three.xml")), entries(3));
    QCOMPARE(XMLReader::getFirmwareList(server.url("/over-cap.xml")), QVariant());
}

void TestCatalogue::externalDtdIsNotFetched()
{
    QCOMPARE(XMLReader::getFirmwareList(server.url("/with-dtd.xml"), shortLimits()), entries(3));
    QCOMPARE(dtdRequests.load(), 0);
}

void TestCatalogue::deadServer_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("connection refused") << int(LoopbackSocket::Refusing);
    QTest::newRow("accepts, never answers") << int(LoopbackSocket::Silent);
}

void TestCatalogue::deadServer()
{
    QFETCH(int, mode);
    LoopbackSocket socket{LoopbackSocket::Mode(mode)};
    QVERIFY(socket.port() > 0);
    QCOMPARE(XMLReader::getFirmwareList(socket.url("/three.xml"), shortLimits()), QVariant());
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
