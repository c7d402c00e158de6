#include "app/application.h"

#include "app/appdelegate.h"
#include "app/buildconfig.h"
#include "app/commandline.h"
#include "app/mainwindow.h"
#include "app/systemconfig.h"
#include "app/terminalrunner.h"
#include "platform/curlapi.h"
#include "platform/devlog.h"
#include "platform/leftovers.h"
#include "platform/stopsignals.h"

#include <QApplication>
#include <QCoreApplication>
#include <QImageReader>
#include <QLoggingCategory>
#include <QMetaObject>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// The build's configuration as `adjust` left it, completed by the
// installation's settings file and --server; says why when the file is ignored.
Configuration completed(Configuration configuration, const CommandLine &commandLine,
                        const std::function<void(Configuration &)> &adjust)
{
    if (adjust)
        adjust(configuration);
    const QString warning = applySystemSettings(configuration, commandLine.serverUrl);
    if (!warning.isEmpty()) {
        print(stderr, QStringLiteral("hoop-updater: ") + warning + QLatin1Char('\n'));
        devLog(warning);
    }
    for (const QString &line : configurationSummary(configuration))
        devLog(line);
    return configuration;
}

int printVersion(int &argc, char **argv, const CommandLine &commandLine,
                 const std::function<void(Configuration &)> &adjust)
{
    // The resource directory is found from the running program's path.
    QCoreApplication app(argc, argv);
    // Only the summary: neither the developer log nor the paths' complaints
    // (no runtime directory) belong in --version's output.
    QLoggingCategory::setFilterRules(
        QStringLiteral("hoop.updater.info=false\ndefault.warning=false"));
    const Configuration configuration = completed(Configuration::fromBuild(), commandLine, adjust);
    print(stdout, QStringLiteral("hoop-updater " HOOP_VERSION "\n") +
                      configurationSummary(configuration).join(QLatin1Char('\n')) +
                      QLatin1Char('\n'));
    return ExitStatus::Success;
}

// No display, no widgets: a QCoreApplication only, so it runs over SSH and
// on a machine without a desktop.
int runTerminal(int &argc, char **argv, const CommandLine &commandLine,
                const std::function<void(Configuration &)> &adjust)
{
    QCoreApplication app(argc, argv);
    // All but a run from a file fetch something first; libcurl and its TLS
    // library load while the rest starts. Not before the application object:
    // the loader is a QObject, and the first thread that makes one is the
    // one Qt takes for the main thread.
    const bool fetches = commandLine.firmwareFile.isEmpty();
    const std::jthread curl = fetches ? preloadCurl() : std::jthread();
    QCoreApplication::setApplicationName(QStringLiteral("hoop-updater"));
    // Standard output carries the console's lines; the developer log's copy
    // of them on standard error would only repeat them. QT_LOGGING_RULES
    // ("hoop.updater.info=true") brings it back.
    QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater.info=false"));
    // A reader that went away (`| head`) must not end an update half-way.
    std::signal(SIGPIPE, SIG_IGN);
    Configuration base = Configuration::fromBuild();
    base.firmwareFile.clear();
    Configuration configuration = completed(std::move(base), commandLine, adjust);
    removeStaleLeftovers(configuration.tempDir, configuration.bundleId);
    TerminalRunner runner(std::move(configuration), commandLine);
    const StopSignals stops([&runner](int) { runner.stopRequested(); });
    const int status = runner.run();
    removeKept();
    return status;
}

} // namespace

int runProgram(int &argc, char **argv, const std::function<void(Configuration &)> &adjust)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Read before any application object exists, so --help needs no display.
    const CommandLine commandLine = parseCommandLine(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        print(stdout, commandLineHelp());
        return ExitStatus::Success;
    case CommandLine::Action::Version:
        return printVersion(argc, argv, commandLine, adjust);
    case CommandLine::Action::Error:
        print(stderr, QStringLiteral("hoop-updater: ") + commandLine.error + QStringLiteral("\n") +
                          commandLineUsage());
        return ExitStatus::BadArguments;
    case CommandLine::Action::Terminal:
        return runTerminal(argc, argv, commandLine, adjust);
    case CommandLine::Action::Window:
        break;
    }
    return runApplication(argc, argv, [&] {
        Configuration configuration = Configuration::fromBuild();
        // A desktop's "Open With" passes the file it was asked to open.
        configuration.firmwareFile = commandLine.firmwareFile;
        return completed(std::move(configuration), commandLine, adjust);
    });
}

namespace {

// The controller, once there is one, for the signals' thread.
std::atomic<AppDelegate *> signalled{nullptr};

// Qt's own words when it finds no display are a plugin error and an abort;
// ours name the display and the terminal mode, and end with a status of ours.
QtMessageHandler qtHandler = nullptr;
void noDisplayHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg || !text.contains(QLatin1String("platform plugin"))) {
        qtHandler(type, context, text);
        return;
    }
    const QString display = qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty()
                                ? qEnvironmentVariable("DISPLAY")
                                : qEnvironmentVariable("WAYLAND_DISPLAY");
    print(stderr, QStringLiteral("hoop-updater: no display to show the window on (") +
                      (display.isEmpty() ? QStringLiteral("DISPLAY is not set")
                                         : QStringLiteral("cannot open ") + display) +
                      QStringLiteral("). To update from this terminal, run: hoop-updater --cli\n"));
    std::fflush(stderr);
    std::_Exit(ExitStatus::NoDisplay);
}

} // namespace

int runApplication(int &argc, char **argv, const std::function<Configuration()> &configure,
                   const std::function<void(AppDelegate &, MainWindow &)> &prepare)
{
    // Before any thread, so that every thread leaves the signals to this one.
    // A logout's SIGTERM is a quit like any other: at once, unless the hoop is
    // being programmed.
    const StopSignals stops([](int signal) {
        AppDelegate *delegate = signalled.load();
        if (!delegate)
            exitProcess(128 + signal);
        quitWhenProgrammed(delegate->updateRunner(), *delegate, 128 + signal);
    });
    // A reader that went away must not end an update half-way.
    std::signal(SIGPIPE, SIG_IGN);
    qtHandler = qInstallMessageHandler(noDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    // Building the menu bar loads Qt's image plugins (for its icon); loaded
    // now, they don't queue behind libcurl on the loader's lock.
    QImageReader::supportedImageFormats();
    QApplication::setApplicationName(QStringLiteral("hoop-updater"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vexlume Hoop Updater"));
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(HOOP_BUNDLE_ID));

    const Configuration configuration = configure();
    AppDelegate delegate(configuration);
    // The check runs while the window is being built; the launch handler
    // reports it as its own. Its fetches go to the fetching program, so that
    // libcurl loads there and not here, where its load would hold the
    // loader's lock and the address space's while the window is built. (Where
    // there is no such program, libcurl loads here, and not before the
    // QApplication: the load would queue on the loader's lock while Qt loads
    // its platform plugin; from here until it has loaded, this thread starts
    // no other, since a new thread's set-up waits on that lock.)
    delegate.launchCheck().prefetch(configuration.updateServerUrl, configuration.catalogueTrust,
                                    configuration.launchFetch());
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());

    MainWindow window;
    window.connectOutlets(delegate);
    window.show();
    signalled.store(&delegate);
    if (prepare)
        prepare(delegate, window);

    // The launch handler runs once the event loop is up and the window is on screen.
    QMetaObject::invokeMethod(
        &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    // What a crashed run left goes once the check has started: the scan's
    // pattern match would otherwise wait for libcurl's load to finish on the
    // loader's lock. Queued before anything that can start a run, so no run
    // meets it.
    QMetaObject::invokeMethod(
        &delegate,
        [&configuration] { removeStaleLeftovers(configuration.tempDir, configuration.bundleId); },
        Qt::QueuedConnection);
    const int status = app.exec();
    signalled.store(nullptr);
    if (delegate.updateRunner().isActive() || delegate.launchCheck().isActive()) {
        // Here only outside programming, or once it is done: every way to
        // quit goes through quitWhenProgrammed or the window's close.
        // Closing the window ends the application at once, even while the run
        // blocks in a wait or a look for the hoop, or the check waits for a
        // silent server.
        exitProcess(status);
    }
    removeKept();
    return status;
}
