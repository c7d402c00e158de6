// hoop-update-server DIR [--port N] [--host H] [--public-key KEY]...: serves
// DIR under /fw-updates/ until interrupted. See updateserver.h for the
// catalogue it publishes. With keys, it starts only when the directory's
// catalogue verifies against one of them as the program would check it.

#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("hoop-update-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HOOP_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a directory of hoop firmware under /fw-updates/, with an "
                       "updates.xml generated from its .zip files unless it has its own."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Directory to serve."));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on; 0 picks a free one."),
                                        QStringLiteral("N"), QStringLiteral("8080"));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Address to listen on."),
                                        QStringLiteral("H"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption keyOption(
        QStringLiteral("public-key"),
        QStringLiteral("A minisign public key (\"RW...\", the second line of its .pub file) "
                       "the program was built with; repeat it or separate keys with ';'. The "
                       "server then starts only if updates.xml.minisig verifies against one."),
        QStringLiteral("KEY"));
    parser.addOption(portOption);
    parser.addOption(hostOption);
    parser.addOption(keyOption);
    parser.process(app);

    const QStringList dirs = parser.positionalArguments();
    if (dirs.size() != 1) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }
    bool ok = false;
    const int port = parser.value(portOption).toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        std::fprintf(stderr, "hoop-update-server: invalid port: %s\n",
                     qPrintable(parser.value(portOption)));
        return 2;
    }

    QStringList keys;
    for (const QString &value : parser.values(keyOption))
        for (const QString &key : value.split(QLatin1Char(';')))
            if (!key.trimmed().isEmpty())
                keys << key.trimmed();
    if (!keys.isEmpty()) {
        const QString problem = hoopupdate::catalogueSignatureProblem(dirs.first(), keys);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "hoop-update-server: %s\n", qPrintable(problem));
            return 1;
        }
    }

    // Blocked before the server's threads start, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    hoopupdate::UpdateServer server(dirs.first());
    if (!server.start(parser.value(hostOption), port)) {
        std::fprintf(stderr, "hoop-update-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    for (const QString &warning : server.warnings())
        std::fprintf(stderr, "hoop-update-server: warning: %s\n", qPrintable(warning));
    std::printf("Serving %s at %s/fw-updates/ (catalogue: %s%s)\n", qPrintable(dirs.first()),
                qPrintable(server.baseUrl()),
                server.catalogueGenerated() ? "generated" : "the directory's own updates.xml",
                keys.isEmpty() ? "" : ", signature verified");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
