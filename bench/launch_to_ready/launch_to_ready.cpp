// From process start to the update button enabled, with a three-entry
// catalogue served on loopback, against a bare Qt program that shows the same
// window form; and the terminal's `--cli --list` from start to exit against
// the same bare program, which it must beat. Both are started as fresh processes, alternately,
// first on the offscreen platform and then, when xvfb-run is installed, on a virtual X server (the
// driver runs itself again under xvfb-run for that part).
//
//   bench_launch_to_ready [--compare PROGRAM]
// --compare times another build of the application in the same rounds, so a
// change can be measured against the program it replaces in one sitting.

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 41;
constexpr std::chrono::milliseconds kSettle{150};

struct Start
{
    double wallMs = 0; // process start to "ready"
    double cpuMs = 0;  // user + system time of the whole process, all its threads
};

double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Until the program prints `marker`: "ready" for the windows, the list's
// last entry for the terminal. With a server, the program is the terminal's
// and takes its address from the environment.
Start startToReady(const QString &program, const QStringList &arguments, const QString &platform,
                   const QString &server = {}, const QByteArray &marker = "ready")
{
    const double cpuBefore = childrenCpuMs();
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    env.insert(QStringLiteral("HOOP_BENCH_SERVER"), server);
    process.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    QByteArray output;
    while (process.waitForReadyRead(30000)) {
        output += process.readAllStandardOutput();
        if (output.contains(marker))
            break;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
    return {ms, childrenCpuMs() - cpuBefore};
}

double median(const std::vector<Start> &starts, double Start::*field)
{
    std::vector<double> v;
    for (const Start &start : starts)
        v.push_back(start.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One platform: the bare window, the application and the optional other
// build, started in turn for each round.
void measure(const QString &platform, const QString &server, const QString &compare)
{
    std::vector<Start> bare, app, list, other;
    const std::vector<std::function<void()>> programs{
        [&] { bare.push_back(startToReady(QStringLiteral(BARE_PROGRAM), {}, platform)); },
        [&] { app.push_back(startToReady(QStringLiteral(APP_PROGRAM), {server}, platform)); },
        [&] {
            list.push_back(startToReady(QStringLiteral(APP_PROGRAM),
                                        {QStringLiteral("--cli"), QStringLiteral("--list")},
                                        platform, server, "hoop-3 "));
        },
        [&] {
            if (!compare.isEmpty())
                other.push_back(startToReady(compare, {server}, platform));
        }};
    // A start right after a window has closed is slower: the display server
    // is still busy with it. Taking turns to go first does not share that
    // out, as each program still always follows the same one; a pause before
    // every start does.
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < programs.size(); ++i) {
            std::this_thread::sleep_for(kSettle);
            programs[(i + std::size_t(round)) % programs.size()]();
        }
    }
    const QByteArray name = platform.toUtf8();
    const double b = median(bare, &Start::wallMs), a = median(app, &Start::wallMs);
    std::printf("launch_to_ready [%s]: bare Qt window %.1f ms, hoop-updater %.1f ms "
                "(medians of %d); ratio %.2f (goal <= 1.15)\n",
                name.constData(), b, a, kRounds, a / b);
    // The terminal's whole answer, catalogue fetched and printed, against the
    // bare window's mere start.
    const double l = median(list, &Start::wallMs), lc = median(list, &Start::cpuMs);
    std::printf("launch_to_ready [%s]: hoop-updater --cli --list to its list %.1f ms against the "
                "bare Qt window %.1f ms; ratio %.2f (goal < 1); CPU time %.1f ms, ratio %.2f\n",
                name.constData(), l, b, l / b, lc, lc / median(bare, &Start::cpuMs));
    // CPU time counts the work itself, however busy the machine: on a loaded
    // one the wall-clock ratio tends towards this one.
    const double bc = median(bare, &Start::cpuMs), ac = median(app, &Start::cpuMs);
    std::printf("launch_to_ready [%s]: CPU time to exit %.1f ms against %.1f ms; ratio %.2f\n",
                name.constData(), ac, bc, ac / bc);
    if (!compare.isEmpty()) {
        const double o = median(other, &Start::wallMs), oc = median(other, &Start::cpuMs);
        std::printf("launch_to_ready [%s]: compared build %.1f ms, ratio %.2f; CPU time %.1f ms, "
                    "ratio %.2f\n",
                    name.constData(), o, o / b, oc, oc / bc);
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    QString compare;
    if (const qsizetype at = args.indexOf(QStringLiteral("--compare"));
        at >= 0 && at + 1 < args.size())
        compare = args.at(at + 1);

    // Run again by ourselves under xvfb-run: measure there against the given server.
    if (args.size() >= 3 && args.at(0) == QStringLiteral("--xcb-child")) {
        measure(QStringLiteral("xcb"), args.at(1), args.at(2));
        return 0;
    }

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

    measure(QStringLiteral("offscreen"), base, compare);

    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (xvfbRun.isEmpty()) {
        std::printf("launch_to_ready [xcb]: skipped, xvfb-run is not installed\n");
    } else {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(xvfbRun, {QStringLiteral("-a"), QStringLiteral("-s"),
                              QStringLiteral("-screen 0 1280x800x24"),
                              QCoreApplication::applicationFilePath(),
                              QStringLiteral("--xcb-child"), base, compare});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            std::printf("launch_to_ready [xcb]: the virtual X server run failed\n");
    }
    server.stop();
    serving.join();
    return 0;
}
