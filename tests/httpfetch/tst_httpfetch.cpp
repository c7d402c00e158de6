#include "devlogcapture.h"
#include "platform/curltransfer.h"
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
const FetchLimits kLimits{2, 1, 3, 1000, 5, {}, {}};

bool writeWhole(const QString &path, const std::string &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

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

        // The answers the stand-in fetching programs give.
        QVERIFY(programs.isValid());
        Transfer told;
        told.setUp = true;
        told.httpStatus = 200;
        told.body = "from apart";
        QVERIFY(writeWhole(programs.filePath("answer"), encodeTransfer(told)));
        told.httpStatus = 404;
        QVERIFY(writeWhole(programs.filePath("answer404"), encodeTransfer(told)));

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
    // Each row twice: fetched in this process, and by the fetching program.
    void fetch_data()
    {
        QTest::addColumn<QString>("url");       // a path on the test server, or a whole URL
        QTest::addColumn<QVariant>("expected"); // invalid: nothing
        QTest::addColumn<QString>("helper");

        for (const QString &helper : {QString(), QStringLiteral(FETCH_HELPER)}) {
            auto row = [&](const char *name) -> QTestData & {
                return QTest::addRow("%s%s", name, helper.isEmpty() ? "" : ", apart");
            };
            row("200") << "/status/200" << QVariant(QByteArray("hello")) << helper;
            row("404 with a body") << "/status/404" << QVariant() << helper;
            row("chunked over the cap") << "/chunked" << QVariant() << helper;
            row("six redirects") << "/redirect/6" << QVariant() << helper;
            row("no host") << "http:///status/200" << QVariant() << helper;
            row("ftp") << "ftp://127.0.0.1/" << QVariant() << helper;
            row("file") << "file:///etc/hostname" << QVariant() << helper;
            row("empty URL") << "" << QVariant() << helper;
            row("body trickles past the total bound") << "/trickle" << QVariant() << helper;
        }
    }
    void fetch()
    {
        QFETCH(QString, url);
        QFETCH(QVariant, expected);
        QFETCH(QString, helper);
        FetchLimits limits = kLimits;
        limits.helperProgram = helper;
        const DevLogCapture log;
        const auto actual = fetchUrl(url.startsWith('/') ? server.url(url) : url, limits);
        QCOMPARE(actual ? QVariant(*actual) : QVariant(), expected);
        QVERIFY2(answeredApart(log), qPrintable(log.lines().join('\n')));
    }
    // What a caller is told of a fetch that gave nothing.
    void failureIsNamed_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<FetchFailure>("failure");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("helper");
        using F = FetchFailure;
        for (const QString &helper : {QString(), QStringLiteral(FETCH_HELPER)}) {
            auto row = [&](const char *name) -> QTestData & {
                return QTest::addRow("%s%s", name, helper.isEmpty() ? "" : ", apart");
            };
            row("404") << "/status/404" << F::HttpStatus << 404 << "Not Found" << helper;
            // The reason as sent, of the last answer.
            row("redirected to an unusual status")
                << "/to-teapot" << F::HttpStatus << 418 << "I'm a teapot" << helper;
            row("chunked over the cap") << "/chunked" << F::TooLarge << 200 << "OK" << helper;
            row("six redirects") << "/redirect/6" << F::Other << 302 << "Found" << helper;
            row("trickles past the total bound")
                << "/trickle" << F::TimedOut << 200 << "OK" << helper;
            row("connection refused")
                << refusing.url("/status/200") << F::Refused << 0 << "" << helper;
        }
    }
    void failureIsNamed()
    {
        QFETCH(QString, url);
        QFETCH(FetchFailure, failure);
        QFETCH(int, status);
        QFETCH(QString, reason);
        QFETCH(QString, helper);
        FetchLimits limits = kLimits;
        limits.helperProgram = helper;
        const DevLogCapture log;
        const FetchResult result =
            fetchResource(url.startsWith('/') ? server.url(url) : url, limits);
        QCOMPARE(result.failure, failure);
        QCOMPARE(result.httpStatus, long(status));
        QCOMPARE(result.httpReason, reason);
        QCOMPARE(result.body.has_value(), failure == FetchFailure::None);
        QCOMPARE(result.host, QStringLiteral("127.0.0.1"));
        QCOMPARE(result.port, QUrl(result.url).port());
        QCOMPARE(result.curlError.isEmpty(), false);
        QVERIFY2(answeredApart(log), qPrintable(log.lines().join('\n')));
    }
    void certificate_data()
    {
        QTest::addColumn<QString>("served"); // the server's certificate
        QTest::addColumn<QString>("trust");  // the CA handed to the fetch
        QTest::addColumn<bool>("fetched");
        QTest::addColumn<QString>("helper");
        for (const QString &helper : {QString(), QStringLiteral(FETCH_HELPER)}) {
            auto row = [&](const char *name) -> QTestData & {
                return QTest::addRow("%s%s", name, helper.isEmpty() ? "" : ", apart");
            };
            row("certificate from the trusted CA") << "server" << QString("ca") << true << helper;
            row("another CA trusted") << "server" << QString("wronghost") << false << helper;
        }
    }
    void certificate()
    {
        QFETCH(QString, served);
        QFETCH(QString, trust);
        QFETCH(bool, fetched);
        QFETCH(QString, helper);

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
        limits.helperProgram = helper;
        const DevLogCapture log;
        const auto got = fetchUrl(QStringLiteral("https://127.0.0.1:%1/ok").arg(port), limits);
        https.stop();
        serving.join();
        QCOMPARE(got ? QVariant(*got) : QVariant(),
                 fetched ? QVariant(QByteArray("secret")) : QVariant());
        QVERIFY2(answeredApart(log), qPrintable(log.lines().join('\n')));
    }

    // What the fetching program answers is what the fetch gives. A program
    // that can't be run, or gives no whole answer, leaves the fetch to this
    // process; one that hangs is stopped, a while after the limits it was given.
    void programAnswer_data()
    {
        QTest::addColumn<QString>("script"); // the program's shell script; empty: none there
        QTest::addColumn<FetchFailure>("failure");
        QTest::addColumn<QByteArray>("body");
        using F = FetchFailure;
        const QString answer = QStringLiteral("cat '%1'").arg(programs.filePath("answer"));
        const QByteArray here("hello");
        QTest::newRow("its answer") << answer << F::None << QByteArray("from apart");
        QTest::newRow("its answer of a 404")
            << QStringLiteral("cat '%1'").arg(programs.filePath("answer404")) << F::HttpStatus
            << QByteArray();
        QTest::newRow("no program there") << QString() << F::None << here;
        QTest::newRow("its answer, then exit status 1") << answer + "; exit 1" << F::None << here;
        QTest::newRow("something else said")
            << QStringLiteral("echo hello there") << F::None << here;
        QTest::newRow("its answer cut short")
            << QStringLiteral("head -c 40 '%1'").arg(programs.filePath("answer")) << F::None
            << here;
        QTest::newRow("killed") << QStringLiteral("kill -9 $$") << F::None << here;
        QTest::newRow("never answers")
            << QStringLiteral("exec sleep 60") << F::TimedOut << QByteArray();
    }
    void programAnswer()
    {
        QFETCH(QString, script);
        QFETCH(FetchFailure, failure);
        QFETCH(QByteArray, body);
        FetchLimits limits{1, 1, 1, 1000, 5, {}, programs.filePath("missing")};
        if (!script.isEmpty()) {
            limits.helperProgram = programs.filePath(QTest::currentDataTag());
            QFile program(limits.helperProgram);
            QVERIFY(program.open(QIODevice::WriteOnly));
            program.write("#!/bin/sh\n" + script.toUtf8() + "\n");
            program.close();
            QVERIFY(program.setPermissions(program.permissions() | QFile::ExeOwner));
        }
        const FetchResult result = fetchResource(server.url("/status/200"), limits);
        QCOMPARE(result.failure, failure);
        QCOMPARE(result.body.value_or(QByteArray()), body);
    }

    // The program's answer is taken only whole and exactly as written.
    void answerReadBack_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("taken");
        const QByteArray whole = QByteArray::fromStdString(encodeTransfer(sampleTransfer()));
        const QByteArray mark("hoop-updater-fetch answer 1\n");
        QTest::newRow("whole") << whole << true;
        QTest::newRow("a byte short") << whole.chopped(1) << false;
        QTest::newRow("a byte more") << whole + "," << false;
        QTest::newRow("another mark") << QByteArray(whole).replace("answer 1", "answer 2") << false;
        QTest::newRow("a field's length past the end")
            << mark + "1:1,1:0,1:0,1:0,3:200,0:,0:,0:,9:abc," << false;
        QTest::newRow("a field's comma missing")
            << mark + "1:1,1:0,1:0,1:0,3:200,0:,0:,0:,3:abc;" << false;
        QTest::newRow("a flag neither 0 nor 1")
            << mark + "1:2,1:0,1:0,1:0,3:200,0:,0:,0:,3:abc," << false;
        QTest::newRow("a number that is not one")
            << mark + "1:1,1:0,1:0,1:0,3:2x0,0:,0:,0:,3:abc," << false;
        QTest::newRow("least whole") << mark + "1:0,1:0,1:0,1:0,1:0,0:,0:,0:,0:," << true;
        QTest::newRow("nothing") << QByteArray() << false;
    }
    void answerReadBack()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, taken);
        const std::optional<Transfer> read = decodeTransfer(answer.toStdString());
        QCOMPARE(read.has_value(), taken);
        if (read && QByteArray(QTest::currentDataTag()) == "whole") {
            const Transfer sample = sampleTransfer();
            QVERIFY(read->setUp && read->overflow);
            QCOMPARE(read->code, sample.code);
            QCOMPARE(read->osErrno, sample.osErrno);
            QCOMPARE(read->httpStatus, sample.httpStatus);
            QCOMPARE(read->reason, sample.reason);
            QCOMPARE(read->contentType, sample.contentType);
            QCOMPARE(read->error, sample.error);
            QCOMPARE(read->body, sample.body);
        }
    }

    // The program's command line carries each limit, and nothing malformed.
    void request_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("taken");
        const QStringList six{"http://h/x", "2", "1", "3", "1000", "5"};
        QTest::newRow("six") << six << true;
        QTest::newRow("with a CA file") << six + QStringList{"/tmp/ca.pem"} << true;
        QTest::newRow("five") << six.mid(0, 5) << false;
        QTest::newRow("eight") << six + QStringList{"/tmp/ca.pem", "x"} << false;
        QTest::newRow("a negative limit")
            << QStringList{"http://h/x", "2", "-1", "3", "1000", "5"} << false;
        QTest::newRow("a limit with a unit")
            << QStringList{"http://h/x", "2", "1", "3s", "1000", "5"} << false;
        QTest::newRow("an empty limit")
            << QStringList{"http://h/x", "2", "1", "3", "", "5"} << false;
        QTest::newRow("no URL") << QStringList{"", "2", "1", "3", "1000", "5"} << false;
    }
    void request()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, taken);
        std::vector<std::string> plain;
        for (const QString &argument : arguments)
            plain.push_back(argument.toStdString());
        const std::optional<TransferRequest> request = parseTransferArguments(plain);
        QCOMPARE(request.has_value(), taken);
        if (request)
            QCOMPARE(transferArguments(*request), plain);
    }

private:
    // The fetching program, when there was one, gave the answer: a broken
    // one would only slow the window's start, with every result the same.
    static bool answeredApart(const DevLogCapture &log)
    {
        return log.lines().filter(QStringLiteral("fetching here instead")).isEmpty();
    }
    static Transfer sampleTransfer()
    {
        Transfer transfer;
        transfer.setUp = true;
        transfer.code = 63;
        transfer.osErrno = 111;
        transfer.overflow = true;
        transfer.httpStatus = 200;
        transfer.reason = "OK, fine";
        transfer.contentType = "text/xml; charset=utf-8";
        transfer.error = "Maximum file size exceeded";
        transfer.body = std::string("12:,\n\0end", 10);
        return transfer;
    }

    TestServer server;
    LoopbackSocket refusing{LoopbackSocket::Refusing};
    QTemporaryDir certificates;
    QTemporaryDir programs;
    std::atomic<bool> finishing{false};
};

QTEST_GUILESS_MAIN(TestHttpFetch)
#include "tst_httpfetch.moc"
