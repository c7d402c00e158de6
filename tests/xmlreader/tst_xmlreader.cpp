#include "catalogue/keypath.h"
#include "catalogue/xmlreader.h"

#include <QJsonDocument>
#include <QTest>

namespace {

// Expected trees as JSON: objects, arrays and strings stand for maps, lists and strings.
QVariant tree(const char *json)
{
    return QJsonDocument::fromJson(json).toVariant();
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
        QTest::addColumn<quint64>("options");
        QTest::addColumn<QVariant>("expected"); // invalid: nothing; true: anything

        // Text before the first b goes to that b, not to a.
        QTest::newRow("worked example")
            << QByteArray("<a x=\"1\"> hello <b>two</b><b/> tail </a>") << quint64(0)
            << ::tree(R"({"a":{"x":"1","b":[{"text":"hello two"},{}],"text":"tail"}})");
        QTest::newRow("white space alone")
            << QByteArray("<?xml version=\"1.0\"?>\n<r>\n  <c/>\n</r>\n") << quint64(0)
            << ::tree(R"({"r":{"c":{"text":""},"text":""}})");
        QTest::newRow("attributes meet children")
            << QByteArray("<r k=\"v\" text=\"attr\"><k/><k/>body</r>") << quint64(0)
            << ::tree(R"({"r":{"k":["v",{},{}],"text":"body"}})");
        QTest::newRow("pieces of text are joined")
            << QByteArray("<r>a<!--c-->b<?pi x?>c<![CDATA[<d>]]>e &lt;&amp;&#x41;</r>")
            << quint64(0) << ::tree(R"({"r":{"text":"abc<d>e <&A"}})");
        // Zero-width characters are no white space.
        QTest::newRow("Unicode spaces trimmed")
            << QByteArray("<r>&#x2028;&#x3000;&#x85;&#xA0;&#x2029;&#x9;&#x200B;x y&#xFEFF;"
                          "&#xD;&#x2003;</r>")
            << quint64(0) << ::tree(R"({"r":{"text":"\u200bx y\ufeff"}})");
        QTest::newRow("nesting at the limit")
            << nested(XMLReader::maxDepth) << quint64(0) << QVariant(true);
        // Never fetched: the tokenizer loads no external subset or entity. An
        // internal subset without entities is harmless.
        QTest::newRow("external DTD is ignored")
            << QByteArray("<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/r.dtd\" "
                          "[<!ELEMENT r ANY>]>"
                          "<r>x</r>")
            << quint64(0) << ::tree(R"({"r":{"text":"x"}})");

        const QByteArray prefixed("<p:root xmlns:p=\"urn:x\" p:a=\"1\"><p:item/></p:root>");
        QTest::newRow("prefix, 0")
            << prefixed << quint64(0)
            << ::tree(R"({"p:root":{"xmlns:p":"urn:x","p:a":"1","p:item":{}}})");
        QTest::newRow("prefix, 1")
            << prefixed << quint64(1) << ::tree(R"({"root":{"p:a":"1","item":{}}})");
        QTest::newRow("undeclared prefix, 0")
            << QByteArray("<p:r/>") << quint64(0) << ::tree(R"({"p:r":{}})");
        QTest::newRow("undeclared prefix, 1") << QByteArray("<p:r/>") << quint64(1) << QVariant();
    }
    void tree()
    {
        QFETCH(QByteArray, xml);
        QFETCH(quint64, options);
        QFETCH(QVariant, expected);
        const auto actual = options ? XMLReader::dictionaryForXMLData(xml, options, nullptr)
                                    : XMLReader::dictionaryForXMLData(xml, nullptr);
        if (expected.typeId() != QMetaType::Bool)
            QCOMPARE(actual ? QVariant(*actual) : QVariant(), expected);
        QCOMPARE(actual.has_value(), expected.isValid());
    }
    void badInput_data()
    {
        QTest::addColumn<QByteArray>("xml");

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
        QVERIFY(!XMLReader::dictionaryForXMLData(xml, XMLReaderOptionProcessNamespaces, nullptr));
        QVERIFY(!XMLReader::dictionaryForXMLData(xml, nullptr));
    }
    void keyPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariant>("expected");

        QTest::newRow("to a list") << "root.Hoop.F" << ::tree(R"([{"a":"1"},{"a":"2"}])");
        QTest::newRow("missing last") << "root.Hoop.G" << QVariant();
        QTest::newRow("through a list") << "root.Many.F" << QVariant();
        QTest::newRow("empty segment") << "root..Hoop" << QVariant();
    }
    void keyPath()
    {
        QFETCH(QString, path);
        QFETCH(QVariant, expected);
        const QVariant t = ::tree(R"({"root":{"Hoop":{"F":[{"a":"1"},{"a":"2"}]},
                                         "Many":[{"F":{}},{"F":{}}]}})");
        QCOMPARE(valueForKeyPath(t, path), expected);
    }
};

QTEST_GUILESS_MAIN(TestXmlReader)
#include "tst_xmlreader.moc"
