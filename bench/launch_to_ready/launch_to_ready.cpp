// From process start to the update button enabled, with a three-entry
// catalogue served on loopback, against a bare Qt program that shows the same
// four controls. Both are started as fresh processes, alternately.

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

static double startToReady(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    while (process.waitForReadyRead(30000)) {
        if (process.readAllStandardOutput().contains("ready"))
            break;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
    return ms;
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    httplib::Server server;
    const int port = server.bind_to_any_port("127.0.0.1");
    server.Get("/fw-updates/updates.xml", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("<?xml version=\"1.0\"?>\n<root>\n <Hoop>\n"
                        "  <FIRMWARE filename=\"hoop-1.zip\" version=\"1\" date=\"d\" "
                        "MD5=\"00000000000000000000000000000000\" desc=\"one\"/>\n"
                        "  <FIRMWARE filename=\"hoop-2.zip\" version=\"2\" date=\"d\" "
                        "MD5=\"00000000000000000000000000000000\" desc=\"two\"/>\n"
                        "  <FIRMWARE filename=\"hoop-3.zip\" version=\"3\" date=\"d\" "
                        "MD5=\"00000000000000000000000000000000\" desc=\"three\"/>\n"
                        " </Hoop>\n</root>\n",
                        "application/xml");
    });
    std::thread serving([&server] { server.listen_after_bind(); });
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);

    std::vector<double> appTimes, bareTimes;
    for (int round = 0; round < 41; ++round) {
        bareTimes.push_back(startToReady(QStringLiteral(BARE_PROGRAM), {}));
        appTimes.push_back(startToReady(QStringLiteral(APP_PROGRAM), {base}));
    }
    server.stop();
    serving.join();

    const double a = median(appTimes), b = median(bareTimes);
    std::printf("launch_to_ready: bare Qt window: %.1f ms (median of %zu)\n", b, bareTimes.size());
    std::printf("launch_to_ready: hoop-updater:   %.1f ms (median of %zu)\n", a, appTimes.size());
    std::printf("launch_to_ready: ratio %.2f (goal <= 1.25)\n", a / b);
    return 0;
}
