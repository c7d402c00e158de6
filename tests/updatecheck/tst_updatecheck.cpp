// The launch check against a real loopback server: every way it can find no
// firmware names its cause in a line of its own, before the usual line.

#include "catalogue/updatecheck.h"
#include "devlogcapture.h"
#include "testserver.h"
#include "update/failureadvice.h"

#include <QTest>

namespace {

// Short limits, so that the silent server times out in about a second.
const FetchLimits kLimits{2, 1, 3, 4096, 5, {}, {}};

const QString kUnable = QStringLiteral("Unable to check for latest firmware. Check your internet "
                                       "connection and restart the app.\n");

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*"); // loopback never goes through a proxy from the environment
        QVERIFY(server.bound() && refusing.port() > 0 && silent.port() > 0);
        // /<status>/<content type>/fw-updates/updates.xml serves the body the test set.
        server.http().Get(R"(/(\d+)/([a-z+-]+)/([a-z+-]+)/fw-updates/updates.xml)",
                          [this](const httplib::Request &req, httplib::Response &res) {
                              res.status = std::stoi(req.matches[1]);
                              res.set_content(body,
                                              req.matches[2].str() + "/" + req.matches[3].str());
                          });
        server.start();
    }
    void cleanupTestCase() { server.stop(); }

    void failures_data()
    {
        QTest::addColumn<QString>("base"); // "refused", "silent" or "STATUS/TYPE" on the server
        QTest::addColumn<QString>("served");
        QTest::addColumn<QString>("cause"); // "%1": the port; "*" first: its end only

        const QString list = QStringLiteral("<root><Hoop><FIRMWARE filename=\"fw.zip\" "
                                            "MD5=\"0123456789abcdef0123456789abcdef\"/></Hoop>"
                                            "</root>");
        const QString page =
            QStringLiteral("<!DOCTYPE html>\n<html><head><title>Welcome</title></head><body>"
                           "<form>Sign in to the hotel network</form></body></html>");
        const QString notList =
            QStringLiteral("The update server's reply is not a firmware list: ");
        const QString server = QStringLiteral("The update server 127.0.0.1 port %1 ");
        QTest::newRow("connection refused")
            << "refused" << list << server + "refused the connection.";
        QTest::newRow("timeout") << "silent" << list << server + "did not answer in time.";
        QTest::newRow("404") << "404/text/plain"
                             << "Not here"
                             << server + "answered HTTP 404 Not Found: it has no firmware list "
                                         "at this address.";
        // The two classes end where HTTP says they do.
        const QString clientSide = QStringLiteral("*: it has no firmware list at this address.");
        const QString serverSide =
            QStringLiteral("*, a fault of the server or of a proxy in between.");
        QTest::newRow("400") << "400/text/plain"
                             << "" << clientSide;
        QTest::newRow("499") << "499/text/plain"
                             << "" << clientSide;
        QTest::newRow("500") << "500/text/plain"
                             << "" << serverSide;
        QTest::newRow("599") << "599/text/plain"
                             << "" << serverSide;
        // Known by what it is, whatever the server calls it.
        QTest::newRow("HTML page") << "200/text/html" << page
                                   << notList + "it is a web page (HTML), perhaps a network's "
                                                "sign-in page.";
        QTest::newRow("HTML page called XML") << "200/application/xml" << page.toLower()
                                              << notList + "it is a web page (HTML), perhaps a "
                                                           "network's sign-in page.";
        QTest::newRow("blank body") << "200/application/xml"
                                    << " \r\n\t" << notList + "it is empty.";
        QTest::newRow("no entries") << "200/application/xml"
                                    << "<root><Hoop></Hoop></root>"
                                    << "The firmware list has no firmware in it.";
        QTest::newRow("too large") << "200/application/xml" << QString(5000, u' ')
                                   << server + "sent more than a firmware list can be.";
        // A list is taken as one, also when the server calls it a page.
        QTest::newRow("list called HTML") << "200/text/html" << list << QString();
    }
    void failures()
    {
        QFETCH(QString, base);
        QFETCH(QString, served);
        QFETCH(QString, cause);

        body = served.toStdString();
        const int port = base == QStringLiteral("refused")  ? refusing.port()
                         : base == QStringLiteral("silent") ? silent.port()
                                                            : server.port();
        const QString serverBase = QStringLiteral("http://127.0.0.1:%1").arg(port) +
                                   (base.contains(u'/') ? QLatin1Char('/') + base : QString());
        DevLogCapture log;
        const UpdateCheck check = fetchFirmwareList(serverBase, {}, kLimits);

        QCOMPARE(check.firmwareList.has_value(), cause.isEmpty());
        if (cause.isEmpty())
            return;
        const QString text = updateCheckFailureText(check);
        // The cause, then the usual line unchanged.
        QVERIFY2(text.endsWith(QLatin1Char('\n') + kUnable), qPrintable(text));
        const QString line = text.chopped(kUnable.size() + 1);
        QVERIFY2(!line.contains(QLatin1Char('\n')), qPrintable(line));
        if (cause.startsWith(u'*'))
            QVERIFY2(line.endsWith(cause.mid(1)), qPrintable(line));
        else
            QCOMPARE(line, cause.arg(port));
        // The developer log has the address, the status and libcurl's verdict.
        const QString url = serverBase + QStringLiteral("/fw-updates/updates.xml");
        const QStringList fetchLines = log.lines().filter(QStringLiteral("GET ") + url + ": ");
        QCOMPARE(fetchLines.size(), 1);
        const QString status = base.section(u'/', 0, 0);
        QVERIFY2(fetchLines.first().contains(base.contains(u'/')
                                                 ? QStringLiteral("HTTP status ") + status + u' '
                                                 : QStringLiteral("HTTP status none")),
                 qPrintable(fetchLines.first()));
        QVERIFY2(fetchLines.first().contains(
                     QRegularExpression(QStringLiteral("libcurl error \\d+ \\(.+\\)$"))),
                 qPrintable(fetchLines.first()));
    }

    // After each failed step, what state the hoop is in and what to do.
    void advice_data()
    {
        QTest::addColumn<UpdateRunOutcome>("outcome");
        QTest::addColumn<QStringList>("says"); // empty: no advice
        using O = UpdateRunOutcome;
        const QString again = QStringLiteral("update again");
        QTest::newRow("10") << O::EraseFailed
                            << QStringList{"old firmware", "partly erased", "plugged in", again};
        QTest::newRow("40") << O::StartFailed
                            << QStringList{"new firmware is written", "stayed in its bootloader"};
        for (O other : {O::Succeeded, O::VerificationFailed, O::ImageRefused, O::ImageNotStored,
                        O::NoHoopInTime, O::NoBootloaderInTime, O::Aborted, O::Halted})
            QTest::addRow("none after outcome %d", int(other)) << other << QStringList{};
    }
    void advice()
    {
        QFETCH(UpdateRunOutcome, outcome);
        QFETCH(QStringList, says);
        const QString advice = failureAdvice(outcome);
        QCOMPARE(advice.isEmpty(), says.isEmpty());
        for (const QString &part : says)
            QVERIFY2(advice.contains(part), qPrintable(advice));
        // One console line.
        QVERIFY(!advice.contains(QLatin1Char('\n')));
    }

private:
    TestServer server;
    LoopbackSocket refusing{LoopbackSocket::Refusing}, silent{LoopbackSocket::Silent};
    std::string body;
};

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
