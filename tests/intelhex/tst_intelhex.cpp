// The Intel HEX reader, which judges every image before it is flashed.
#include "update/intelhex.h"

#include <QTest>

class TestIntelHex : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip()
    {
        // Crosses a 64 KiB boundary, so an extended linear address record is needed mid-way.
        std::vector<std::uint8_t> bytes(300);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = std::uint8_t(i ^ 0x5a);
        const HexParseResult r = parseIntelHex(writeIntelHex(0x8000FF80u, bytes, 32, 0x80002000));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.data.size(), std::size_t(1));
        QCOMPARE(r.data[0].address, 0x8000FF80u);
        QVERIFY(r.data[0].bytes == bytes);
    }
    void rejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("line");
        const QByteArray eof(":00000001FF\n");
        QTest::newRow("bad checksum") << ":0400000001020304F1\n" + eof << "checksum mismatch" << 1;
        QTest::newRow("no colon") << QByteArray(":0400000001020304F2\n0400000001020304F2\n")
                                  << "does not start with ':'" << 2;
        QTest::newRow("short count") << ":0500000001020304F1\n" + eof << "byte count" << 1;
        QTest::newRow("odd digits") << ":0400000001020304F\n" + eof << "odd number" << 1;
        QTest::newRow("not hex") << ":04000000010203G4F2\n" + eof << "invalid hex digit" << 1;
        QTest::newRow("missing EOF")
            << QByteArray(":0400000001020304F2\n") << "missing end-of-file" << 0;
        QTest::newRow("empty file") << QByteArray() << "missing end-of-file" << 0;
        QTest::newRow("after EOF") << eof + ":0400000001020304F2\n"
                                   << "after the end-of-file" << 2;
        QTest::newRow("unknown type") << ":00000007F9\n" + eof << "unknown record type 0x07" << 1;
        QTest::newRow("ELA too long")
            << ":0300000480000079\n" + eof << "extended linear address" << 1;
    }
    void rejects()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QFETCH(int, line);
        const HexParseResult r = parseIntelHex(text.toStdString());
        QVERIFY(!r.ok);
        QVERIFY2(QString::fromStdString(r.error).contains(error), r.error.c_str());
        QCOMPARE(r.line, line);
    }
};

QTEST_GUILESS_MAIN(TestIntelHex)
#include "tst_intelhex.moc"
