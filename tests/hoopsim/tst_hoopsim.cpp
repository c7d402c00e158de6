// The simulator itself is exercised by the update-run tests; only its Intel HEX
// reader, which the stand-in tool trusts to judge images, is checked alone.
#include "update/intelhex.h"

#include <QTest>


class TestHoopSim : public QObject
{
    Q_OBJECT

private slots:
    void intelHexRoundTrip()
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

    void intelHexRejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("line");
        QTest::newRow("bad checksum")
            << QByteArray(":0400000001020304F1\n:00000001FF\n") << "checksum mismatch" << 1;
        QTest::newRow("no colon") << QByteArray(":0400000001020304F2\n0400000001020304F2\n")
                                  << "does not start with ':'" << 2;
        QTest::newRow("short count")
            << QByteArray(":0500000001020304F1\n:00000001FF\n") << "byte count" << 1;
        QTest::newRow("odd digits")
            << QByteArray(":0400000001020304F\n:00000001FF\n") << "odd number" << 1;
        QTest::newRow("not hex") << QByteArray(":04000000010203G4F2\n:00000001FF\n")
                                 << "invalid hex digit" << 1;
        QTest::newRow("missing EOF")
            << QByteArray(":0400000001020304F2\n") << "missing end-of-file" << 0;
        QTest::newRow("empty file") << QByteArray() << "missing end-of-file" << 0;
        QTest::newRow("after EOF")
            << QByteArray(":00000001FF\n:0400000001020304F2\n") << "after the end-of-file" << 2;
        QTest::newRow("unknown type")
            << QByteArray(":00000007F9\n:00000001FF\n") << "unknown record type 0x07" << 1;
        QTest::newRow("ELA too long")
            << QByteArray(":0300000480000079\n:00000001FF\n") << "extended linear address" << 1;
    }
    void intelHexRejects()
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

QTEST_MAIN(TestHoopSim)
#include "tst_hoopsim.moc"
