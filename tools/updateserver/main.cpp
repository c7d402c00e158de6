// hoop-update-server DIR [--port N] [--host H] [--public-key KEY]...: publishes
// DIR under /fw-updates/ until interrupted: only the catalogue, its signature
// and the images it lists, and only once they check out as the program would
// check them (see updateserver.h). Changes are taken up on SIGHUP and when the
// directory changes, each once it checks out again.
// hoop-update-server DIR --write-catalogue: writes the catalogue the server
// would generate into DIR/updates.xml, for the vendor to sign.

#include "updateserver.h"

#include "platform/savefile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileSystemWatcher>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <thread>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

void complain(const QString &line)
{
    std::fprintf(stderr, "hoop-update-server: %s\n", qPrintable(line));
}

QString served(const hoopupdate::UpdateServer &server)
{
    return QStringLiteral("catalogue: %1, %2 image(s)")
        .arg(server.catalogueGenerated() ? QStringLiteral("generated")
                                         : QStringLiteral("the directory's own updates.xml"))
        .arg(server.imageCount());
}

int writeCatalogue(const QString &dir)
{
    const hoopupdate::PublishCheck check =
        hoopupdate::UpdateServer::checkForPublishing(dir, {}, true);
    for (const QString &warning : check.warnings)
        complain(QStringLiteral("warning: ") + warning);
    for (const QString &problem : check.problems)
        complain(problem);
    if (!check.problems.isEmpty()) {
        complain(QStringLiteral("nothing written"));
        return 1;
    }
    const QString path = QDir(dir).filePath(QStringLiteral("updates.xml"));
    if (const std::optional<QString> error = saveWholeFile(path, check.catalogue)) {
        complain(QStringLiteral("cannot write %1: %2").arg(path, *error));
        return 1;
    }
    say(QStringLiteral("Wrote %1 (%2 image(s)). Sign it with the key kept outside the served "
                       "directory: minisign -S -s ~/.minisign/hoop.key -m %1")
            .arg(path)
            .arg(check.images));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so that only the signal thread sees them.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("hoop-update-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HOOP_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes a directory of hoop firmware under /fw-updates/: updates.xml (the "
        "directory's own, or one generated from its .zip files), updates.xml.minisig and the "
        "images listed, once every image checks out as the program checks it. SIGHUP, or a "
        "change in the directory, takes up changes once they check out."));
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
                       "server then serves updates.xml only while updates.xml.minisig "
                       "verifies against one, with a readable timestamp not in the future."),
        QStringLiteral("KEY"));
    const QCommandLineOption writeOption(
        QStringLiteral("write-catalogue"),
        QStringLiteral("Write the catalogue generated from DIR's .zip files into DIR/updates.xml "
                       "(once they all check out), for signing, and exit."));
    const QCommandLineOption uncheckedOption(
        QStringLiteral("unchecked"),
        QStringLiteral("Serve every file of DIR as it lies, unchecked: only for tests that need "
                       "a server with faults."));
    parser.addOption(portOption);
    parser.addOption(hostOption);
    parser.addOption(keyOption);
    parser.addOption(writeOption);
    parser.addOption(uncheckedOption);
    parser.process(app);

    const QStringList dirs = parser.positionalArguments();
    if (dirs.size() != 1) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }
    const QString dir = dirs.first();
    if (parser.isSet(writeOption))
        return writeCatalogue(dir);
    bool ok = false;
    const int port = parser.value(portOption).toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        complain(QStringLiteral("invalid port: ") + parser.value(portOption));
        return 2;
    }

    QStringList keys;
    for (const QString &value : parser.values(keyOption))
        for (const QString &key : value.split(QLatin1Char(';')))
            if (!key.trimmed().isEmpty())
                keys << key.trimmed();
    const bool unchecked = parser.isSet(uncheckedOption);
    if (unchecked && !keys.isEmpty()) {
        const QString problem = hoopupdate::catalogueSignatureProblem(dir, keys);
        if (!problem.isEmpty()) {
            complain(problem);
            return 1;
        }
    }

    hoopupdate::UpdateServer server(dir);
    if (!unchecked)
        server.setPublishing(keys);
    if (!server.start(parser.value(hostOption), port)) {
        for (const QString &warning : server.warnings())
            complain(QStringLiteral("warning: ") + warning);
        const QStringList problems = server.problems();
        for (const QString &problem :
             problems.isEmpty() ? QStringList{server.errorString()} : problems)
            complain(problem);
        return 1;
    }
    for (const QString &warning : server.warnings())
        complain(QStringLiteral("warning: ") + warning);
    if (unchecked)
        complain(QStringLiteral("warning: serving every file as it lies, unchecked"));
    // Unchecked, nothing is counted: every file is served as it lies.
    say(QStringLiteral("Serving %1 at %2/fw-updates/ (%3%4)")
            .arg(dir, server.baseUrl(),
                 unchecked ? served(server).section(QLatin1Char(','), 0, 0) : served(server),
                 keys.isEmpty() ? QString() : QStringLiteral(", signature verified")));

    // Changes settle first: an image being copied in fails its digest until
    // its last byte is there.
    QFileSystemWatcher watcher;
    QTimer settle;
    settle.setSingleShot(true);
    settle.setInterval(300);
    auto watchAll = [&] {
        if (!watcher.files().isEmpty())
            watcher.removePaths(watcher.files());
        watcher.addPath(dir);
        const QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : files)
            watcher.addPath(QDir(dir).filePath(name));
    };
    // A change seen by the watch is told only when it matters; SIGHUP always answers.
    auto reload = [&](bool asked) {
        const hoopupdate::UpdateServer::Reload result = server.reload();
        watchAll();
        if (!result.takenUp) {
            for (const QString &problem : result.problems)
                complain(problem);
            complain(QStringLiteral("changes not taken up: still serving the last snapshot that "
                                    "checked out (%1)")
                         .arg(served(server)));
        } else if (result.changed) {
            for (const QString &warning : result.warnings)
                complain(QStringLiteral("warning: ") + warning);
            say(QStringLiteral("Changes taken up: now serving %1").arg(served(server)));
        } else if (asked) {
            say(QStringLiteral("Nothing changed: still serving %1").arg(served(server)));
        }
    };
    if (!unchecked) {
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle,
                         qOverload<>(&QTimer::start));
        QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &settle,
                         qOverload<>(&QTimer::start));
        QObject::connect(&settle, &QTimer::timeout, &app, [&] { reload(false); });
        watchAll();
    }

    std::thread waiter([&] {
        for (;;) {
            int signal = 0;
            sigwait(&handled, &signal);
            if (signal == SIGHUP && !unchecked) {
                QMetaObject::invokeMethod(
                    &app, [&] { reload(true); }, Qt::QueuedConnection);
            } else if (signal != SIGHUP) {
                QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
                return;
            }
        }
    });
    app.exec();
    waiter.join();
    server.stop();
    return 0;
}
