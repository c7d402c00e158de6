#include "catalogue/keypath.h"
#include "catalogue/xmlreader.h"

#include <QJsonDocument>
#include <QTest>

namespace {

// Expected trees are written as JSON: objects, arrays and strings map onto
// QVariantMap, QVariantList and QString. An empty text means "nothing".
QVariant tree(const char *json)
{
    if (!*json)
        return {};
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad expectation %s: %s", json, qPrintable(error.errorString()));
    return doc.toVariant();
}

QByteArray nested(int depth)
{
    return QByteArray("<a>").repeated(depth) + QByteArray("</a>").repeated(depth);
}

} // namespace

class TestXmlReader : public QObject
{
    Q_OBJECT

private slots:
    void tree_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QVariant>("expected");

        // Text before the first b goes to that b, not to a.
        QTest::newRow("worked example")
            << QByteArray("<a x=\"1\"> hello <b>two</b><b/> tail </a>")
            << ::tree(R"({"a":{"x":"1","b":[{"text":"hello two"},{}],"text":"tail"}})");
        QTest::newRow("indented")
            << QByteArray("<?xml version=\"1.0\"?>\n<root>\n  <Hoop>\n    <F a=\"1\"/>\n  "
                          "</Hoop>\n</root>\n")
            << ::tree(R"({"root":{"text":"","Hoop":{"text":"","F":{"a":"1","text":""}}}})");
        QTest::newRow("one child is no list")
            << QByteArray("<r><c>1</c></r>") << ::tree(R"({"r":{"c":{"text":"1"}}})");
        QTest::newRow("attribute then child of one name")
            << QByteArray("<r k=\"v\"><k>c</k></r>") << ::tree(R"({"r":{"k":["v",{"text":"c"}]}})");
        QTest::newRow("attribute then two children")
            << QByteArray("<r k=\"v\"><k/><k/></r>") << ::tree(R"({"r":{"k":["v",{},{}]}})");
        QTest::newRow("attribute named text replaced")
            << QByteArray("<r text=\"attr\">body</r>") << ::tree(R"({"r":{"text":"body"}})");
        QTest::newRow("child named text replaced")
            << QByteArray("<r><text>x</text>y</r>") << ::tree(R"({"r":{"text":"y"}})");
        QTest::newRow("tail text goes to the parent")
            << QByteArray("<r><c/>tail</r>") << ::tree(R"({"r":{"c":{},"text":"tail"}})");
        QTest::newRow("pieces of text are joined")
            << QByteArray("<r>a<!--c-->b<?pi x?>c<![CDATA[<d>]]>e &lt;&amp;&#x41;</r>")
            << ::tree(R"({"r":{"text":"abc<d>e <&A"}})");
        QTest::newRow("Unicode spaces trimmed")
            << QByteArray("<r>&#x2028;&#x3000;&#x85;&#xA0;&#x2029;&#x9;x y&#xD;&#x2003;</r>")
            << ::tree(R"({"r":{"text":"x y"}})");
        QTest::newRow("zero-width characters kept") << QByteArray("<r>&#x200B;x&#xFEFF;</r>")
                                                    << ::tree(R"({"r":{"text":"\u200bx\ufeff"}})");
        QTest::newRow("nesting at the limit") << nested(XMLReader::maxDepth) << QVariant(true);
        QTest::newRow("internal DTD without entities")
            << QByteArray("<!DOCTYPE r [<!ELEMENT r ANY>]><r>x</r>")
            << ::tree(R"({"r":{"text":"x"}})");
        // Never fetched: the tokenizer loads no external subset or entity.
        QTest::newRow("external DTD is ignored")
            << QByteArray("<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/r.dtd\"><r>x</r>")
            << ::tree(R"({"r":{"text":"x"}})");
    }
    void tree()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QVariant, expected);
        const QString error;
        const std::optional<QVariantMap> actual = XMLReader::dictionaryForXMLData(xml, &error);
        QVERIFY(actual.has_value());
        if (expected.typeId() == QMetaType::Bool)
            return;
        QCOMPARE(QVariant(*actual), expected);
    }
    void options_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<quint64>("options");
        QTest::addColumn<QVariant>("expected");

        const QByteArray prefixed("<p:root xmlns:p=\"urn:x\" p:a=\"1\"><p:item/></p:root>");
        const QVariant local = ::tree(R"({"root":{"p:a":"1","item":{}}})");
        const QVariant written = ::tree(R"({"p:root":{"xmlns:p":"urn:x","p:a":"1","p:item":{}}})");
        QTest::newRow("prefix, 0") << prefixed << quint64(0) << written;
        QTest::newRow("prefix, 1") << prefixed << quint64(1) << local;
        QTest::newRow("undeclared prefix, 0")
            << QByteArray("<p:r/>") << quint64(0) << ::tree(R"({"p:r":{}})");
        QTest::newRow("undeclared prefix, 1") << QByteArray("<p:r/>") << quint64(1) << QVariant();
    }
    void options()
    {
        QFETCH(QByteArray, xml);
        QFETCH(quint64, options);
        QFETCH(QVariant, expected);
        const QString error;
        const auto actual = XMLReader::dictionaryForXMLData(xml, options, &error);
        QCOMPARE(actual ? QVariant(*actual) : QVariant(), expected);
    }
    void badInput_data()
    {
        QTest::addColumn<QByteArray>("xml");

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("unclosed element") << QByteArray("<r><c>text</c>");
        QTest::newRow("text only") << QByteArray("hello");
        QTest::newRow("invalid UTF-8") << QByteArray("<r>\xff\xfe</r>");
        QTest::newRow("NUL character") << QByteArray("<r>a\0b</r>", 10);
        QTest::newRow("too deep") << nested(XMLReader::maxDepth + 1);
        QTest::newRow("very deep") << nested(200000);

        // Each expansion stays small; their number makes it gigabytes.
        QTest::newRow("repeated entity expansion")
            << "<!DOCTYPE r [<!ENTITY e \"" + QByteArray(4000, 'x') + "\">]><r>" +
                   QByteArray("&e;").repeated(500000) + "</r>";
        QTest::newRow("external entity")
            << QByteArray("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r>&e;</r>");
    }
    void badInput()
    {
        QFETCH(QByteArray, xml);
        const QString error;
        QVERIFY(!XMLReader::dictionaryForXMLData(xml, XMLReaderOptionProcessNamespaces, &error));
        QVERIFY(!XMLReader::dictionaryForXMLData(xml, &error));
    }
    void keyPath_data()
    {
        QTest::addColumn<QVariant>("tree");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariant>("expected");

        const QVariant t = ::tree(R"({"root":{"Hoop":{"F":[{"a":"1"},{"a":"2"}],"s":"x"},
                                         "Many":[{"F":{}},{"F":{}}]}})");
        QTest::newRow("to a list") << t << "root.Hoop.F" << ::tree(R"([{"a":"1"},{"a":"2"}])");
        QTest::newRow("to a string") << t << "root.Hoop.s" << QVariant(QStringLiteral("x"));
        QTest::newRow("missing last") << t << "root.Hoop.G" << QVariant();
        QTest::newRow("through a list") << t << "root.Many.F" << QVariant();
        QTest::newRow("empty segment") << t << "root..Hoop" << QVariant();
        QTest::newRow("invalid tree") << QVariant() << "root" << QVariant();
    }
    void keyPath()
    {
        QFETCH(QVariant, tree);
        QFETCH(QString, path);
        QFETCH(QVariant, expected);
        QCOMPARE(valueForKeyPath(tree, path), expected);
    }
};

QTEST_GUILESS_MAIN(TestXmlReader)
#include "tst_xmlreader.moc"
