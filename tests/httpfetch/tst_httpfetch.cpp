#include "platform/httpfetch.h"
#include "testserver.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

Q_DECLARE_METATYPE(FetchLimits)

namespace {

// Short limits, so failure cases end in about a second.
FetchLimits shortLimits()
{
    FetchLimits limits;
    limits.connectTimeoutSeconds = 2;
    limits.stallSeconds = 1;
    limits.totalSeconds = 3;
    limits.maxBytes = 1000;
    return limits;
}

std::string body(size_t size)
{
    std::string text(size, 'x');
    for (size_t i = 0; i < size; ++i)
        text[i] = char('a' + i % 26);
    return text;
}

} // namespace

class TestHttpFetch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Loopback must never go through a proxy from the environment.
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        QVERIFY(server.bound() && refusing.port() > 0 && silent.port() > 0);
        httplib::Server &http = server.http();
        http.Get("/ok", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("hello", "text/plain");
        });
        http.Get(R"(/status/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content("<root><Hoop/></root>", "text/xml");
        });
        http.Get(R"(/sized/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
            res.set_content(body(std::stoul(req.matches[1])), "text/plain");
        });
        // No Content-Length: only counting while receiving can stop it.
        http.Get("/chunked", [](const httplib::Request &, httplib::Response &res) {
            res.set_chunked_content_provider(
                "text/plain", [](size_t offset, httplib::DataSink &sink) {
                    sink.write(std::string(1000, 'x').data(), 1000); // two pieces: 2000 bytes
                    if (offset > 0)
                        sink.done();
                    return true;
                });
        });
        http.Get(R"(/redirect/(\d+))", [this](const httplib::Request &req, httplib::Response &res) {
            const int left = std::stoi(req.matches[1]);
            const QString next =
                left > 1 ? QStringLiteral("/redirect/%1").arg(left - 1) : QStringLiteral("/ok");
            res.set_redirect(server.url(next).toStdString(), left % 2 ? 302 : 301);
        });
        http.Get("/to-file", [](const httplib::Request &, httplib::Response &res) {
            res.set_redirect("file:///etc/hostname");
        });
        // Announces more than it sends, then closes.
        http.Get("/short", [](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(100, "text/plain",
                                     [](size_t, size_t, httplib::DataSink &sink) {
                                         sink.write("half", 4);
                                         return false;
                                     });
        });
        // Never quiet long enough to stall, never done.
        http.Get("/trickle", [this](const httplib::Request &, httplib::Response &res) {
            res.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink &sink) {
                for (int i = 0; i < 100 && !finishing; ++i) {
                    if (!sink.write("x", 1))
                        return false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
                sink.done();
                return true;
            });
        });
        server.start();

        // A test CA and two certificates from it: one for 127.0.0.1 and one for
        // another address, which also stands for a CA that did not sign the first.
        const QString openssl = QStandardPaths::findExecutable("openssl");
        QVERIFY2(!openssl.isEmpty(), "openssl is needed to make the test certificates");
        QVERIFY(certificates.isValid());
        const auto make = [&](const QString &name, const QStringList &how) {
            QProcess req;
            req.start(openssl, QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
                                           "-keyout", certificates.filePath(name + ".key"), "-out",
                                           certificates.filePath(name + ".pem")} +
                                   how);
            return req.waitForFinished(60000) && req.exitStatus() == QProcess::NormalExit &&
                   req.exitCode() == 0;
        };
        const QStringList ca{"-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                             "keyUsage=critical,keyCertSign"};
        const QStringList signedByCa{"-CA",     certificates.filePath("ca.pem"),
                                     "-CAkey",  certificates.filePath("ca.key"),
                                     "-addext", "basicConstraints=CA:FALSE"};
        QVERIFY(make("ca", QStringList{"-subj", "/CN=hoop test CA"} + ca));
        QVERIFY(make("server", QStringList{"-subj", "/CN=127.0.0.1", "-addext",
                                           "subjectAltName=IP:127.0.0.1"} +
                                   signedByCa));
        QVERIFY(make("wronghost", QStringList{"-subj", "/CN=127.0.0.2", "-addext",
                                              "subjectAltName=IP:127.0.0.2,DNS:updates.example"} +
                                      signedByCa));
    }
    void cleanupTestCase()
    {
        finishing = true;
        server.stop();
    }
    void fetch_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariant>("expected"); // invalid: nothing

        const auto text = [](size_t n) {
            return QVariant(QByteArray::fromStdString(body(n)));
        };
        QTest::newRow("200") << "/ok" << QVariant(QByteArray("hello"));
        QTest::newRow("204, empty body") << "/status/204" << QVariant(QByteArray(""));
        QTest::newRow("404 with a body") << "/status/404" << QVariant();
        QTest::newRow("body at the cap") << "/sized/1000" << text(1000);
        QTest::newRow("body over the cap") << "/sized/1001" << QVariant();
        QTest::newRow("chunked over the cap") << "/chunked" << QVariant();
        QTest::newRow("five redirects") << "/redirect/5" << QVariant(QByteArray("hello"));
        QTest::newRow("six redirects") << "/redirect/6" << QVariant();
        QTest::newRow("redirect to a file") << "/to-file" << QVariant();
        QTest::newRow("body cut short") << "/short" << QVariant();
        QTest::newRow("body trickles past the total bound") << "/trickle" << QVariant();
    }
    void fetch()
    {
        QFETCH(QString, path);
        QFETCH(QVariant, expected);
        const std::optional<QByteArray> actual = fetchUrl(server.url(path), shortLimits());
        QCOMPARE(actual ? QVariant(*actual) : QVariant(), expected);
    }
    void unusableUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("empty") << QString();
        QTest::newRow("no host") << QStringLiteral("http:///ok");
        QTest::newRow("file") << QStringLiteral("file:///etc/hostname");
        QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/");
        QTest::newRow("connection refused") << refusing.url("/ok");
        QTest::newRow("accepts, never answers") << silent.url("/ok");
    }
    void unusableUrl()
    {
        QFETCH(QString, url);
        QVERIFY(!fetchUrl(url, shortLimits()));
    }
    void certificate_data()
    {
        QTest::addColumn<QString>("served"); // the server's certificate
        QTest::addColumn<QString>("trust");  // the CA handed to the fetch; "" is the system store
        QTest::addColumn<bool>("fetched");
        QTest::newRow("certificate from the trusted CA") << "server"
                                                         << "ca" << true;
        QTest::newRow("another CA trusted") << "server"
                                            << "wronghost" << false;
        QTest::newRow("certificate for another host") << "wronghost"
                                                      << "ca" << false;
    }
    void certificate()
    {
        QFETCH(QString, served);
        QFETCH(QString, trust);
        QFETCH(bool, fetched);

        httplib::SSLServer https(certificates.filePath(served + ".pem").toLocal8Bit().constData(),
                                 certificates.filePath(served + ".key").toLocal8Bit().constData());
        QVERIFY(https.is_valid());
        https.Get("/ok", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("secret", "text/plain");
        });
        const int port = https.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        std::thread serving([&] { https.listen_after_bind(); });
        while (!https.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        FetchLimits limits = shortLimits();
        if (!trust.isEmpty())
            limits.caFile = certificates.filePath(trust + ".pem");
        const auto got = fetchUrl(QStringLiteral("https://127.0.0.1:%1/ok").arg(port), limits);
        https.stop();
        serving.join();

        QCOMPARE(got.has_value(), fetched);
        if (fetched)
            QCOMPARE(*got, QByteArray("secret"));
    }

private:
    TestServer server;
    LoopbackSocket refusing{LoopbackSocket::Refusing}, silent{LoopbackSocket::Silent};
    QTemporaryDir certificates;
    std::atomic<bool> finishing{false};
};

QTEST_GUILESS_MAIN(TestHttpFetch)
#include "tst_httpfetch.moc"
