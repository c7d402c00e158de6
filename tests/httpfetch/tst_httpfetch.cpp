#include "platform/httpfetch.h"
#include "testserver.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <thread>

// Short limits, so failure cases end in a few seconds: connect 2 s, stall 1 s,
// total 3 s, 1000 bytes, 5 redirects.
const FetchLimits kLimits{2, 1, 3, 1000, 5, {}};

class TestHttpFetch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*"); // loopback never goes through a proxy from the environment
        QVERIFY(server.bound() && refusing.port() > 0);
        httplib::Server &http = server.http();
        http.Get(R"(/status/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content("hello", "text/plain");
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
            const QString next = left > 1 ? QStringLiteral("/redirect/%1").arg(left - 1)
                                          : QStringLiteral("/status/200");
            res.set_redirect(server.url(next).toStdString(), left % 2 ? 302 : 301);
        });
        http.Get("/to-teapot", [this](const httplib::Request &, httplib::Response &res) {
            res.set_redirect(server.url("/status/418").toStdString(), 302);
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
        QVERIFY(certificates.isValid());
        const char *make = R"(set -e; cd "$1"
            req() { n=$1; shift; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
                -nodes -days 1 -keyout $n.key -out $n.pem "$@"; }
            req ca -subj "/CN=hoop test CA" -addext basicConstraints=critical,CA:TRUE \
                -addext keyUsage=critical,keyCertSign
            s="-CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE"
            req server -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 $s
            req wronghost -subj /CN=127.0.0.2 -addext subjectAltName=IP:127.0.0.2 $s)";
        QVERIFY2(QProcess::execute("/bin/sh", {"-c", make, "sh", certificates.path()}) == 0,
                 "openssl is needed to make the test certificates");
    }
    void cleanupTestCase()
    {
        finishing = true;
        server.stop();
    }
    void fetch_data()
    {
        QTest::addColumn<QString>("url");       // a path on the test server, or a whole URL
        QTest::addColumn<QVariant>("expected"); // invalid: nothing

        QTest::newRow("200") << "/status/200" << QVariant(QByteArray("hello"));
        QTest::newRow("404 with a body") << "/status/404" << QVariant();
        QTest::newRow("chunked over the cap") << "/chunked" << QVariant();
        QTest::newRow("six redirects") << "/redirect/6" << QVariant();
        QTest::newRow("no host") << "http:///status/200" << QVariant();
        QTest::newRow("ftp") << "ftp://127.0.0.1/" << QVariant();
        QTest::newRow("file") << "file:///etc/hostname" << QVariant();
        QTest::newRow("empty URL") << "" << QVariant();
        QTest::newRow("body trickles past the total bound") << "/trickle" << QVariant();
    }
    void fetch()
    {
        QFETCH(QString, url);
        QFETCH(QVariant, expected);
        const auto actual = fetchUrl(url.startsWith('/') ? server.url(url) : url, kLimits);
        QCOMPARE(actual ? QVariant(*actual) : QVariant(), expected);
    }
    // What a caller is told of a fetch that gave nothing.
    void failureIsNamed_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<FetchFailure>("failure");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        using F = FetchFailure;
        QTest::newRow("404") << "/status/404" << F::HttpStatus << 404 << "Not Found";
        // The reason as sent, of the last answer.
        QTest::newRow("redirected to an unusual status")
            << "/to-teapot" << F::HttpStatus << 418 << "I'm a teapot";
        QTest::newRow("chunked over the cap") << "/chunked" << F::TooLarge << 200 << "OK";
        QTest::newRow("six redirects") << "/redirect/6" << F::Other << 302 << "Found";
        QTest::newRow("trickles past the total bound") << "/trickle" << F::TimedOut << 200 << "OK";
        QTest::newRow("connection refused") << refusing.url("/status/200") << F::Refused << 0 << "";
    }
    void failureIsNamed()
    {
        QFETCH(QString, url);
        QFETCH(FetchFailure, failure);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const FetchResult result =
            fetchResource(url.startsWith('/') ? server.url(url) : url, kLimits);
        QCOMPARE(result.failure, failure);
        QCOMPARE(result.httpStatus, long(status));
        QCOMPARE(result.httpReason, reason);
        QCOMPARE(result.body.has_value(), failure == FetchFailure::None);
        QCOMPARE(result.host, QStringLiteral("127.0.0.1"));
        QCOMPARE(result.port, QUrl(result.url).port());
        QCOMPARE(result.curlError.isEmpty(), false);
    }
    void certificate_data()
    {
        QTest::addColumn<QString>("served"); // the server's certificate
        QTest::addColumn<QString>("trust");  // the CA handed to the fetch
        QTest::addColumn<bool>("fetched");
        QTest::newRow("certificate from the trusted CA") << "server" << QString("ca") << true;
        QTest::newRow("another CA trusted") << "server" << QString("wronghost") << false;
    }
    void certificate()
    {
        QFETCH(QString, served);
        QFETCH(QString, trust);
        QFETCH(bool, fetched);

        const std::string pem = certificates.filePath(served + ".pem").toStdString(),
                          key = certificates.filePath(served + ".key").toStdString();
        httplib::SSLServer https(pem.c_str(), key.c_str());
        https.Get("/ok", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("secret", "text/plain");
        });
        const int port = https.bind_to_any_port("127.0.0.1");
        QVERIFY(https.is_valid() && port > 0);
        std::thread serving([&] { https.listen_after_bind(); });
        while (!https.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        FetchLimits limits = kLimits;
        limits.caFile = certificates.filePath(trust + ".pem");
        const auto got = fetchUrl(QStringLiteral("https://127.0.0.1:%1/ok").arg(port), limits);
        https.stop();
        serving.join();
        QCOMPARE(got ? QVariant(*got) : QVariant(),
                 fetched ? QVariant(QByteArray("secret")) : QVariant());
    }

private:
    TestServer server;
    LoopbackSocket refusing{LoopbackSocket::Refusing};
    QTemporaryDir certificates;
    std::atomic<bool> finishing{false};
};

QTEST_GUILESS_MAIN(TestHttpFetch)
#include "tst_httpfetch.moc"
