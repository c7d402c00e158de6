#include "app/application.h"

#include "app/appdelegate.h"
#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "platform/curlapi.h"

#include <QApplication>
#include <QMetaObject>

#include <cstdio>
#include <cstdlib>

int runApplication(int &argc, char **argv, const std::function<Configuration()> &configure,
                   const std::function<void(AppDelegate &, MainWindow &)> &prepare)
{
    QApplication app(argc, argv);
    // The launch check needs libcurl; load it while the window is being built.
    // (Not before the QApplication: both would then queue on the loader's lock
    // while Qt loads its platform plugin.)
    preloadCurl();
    QApplication::setApplicationName(QStringLiteral("hoop-updater"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vexlume Hoop Updater"));
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(HOOP_BUNDLE_ID));

    AppDelegate delegate(configure());
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());

    MainWindow window;
    window.connectOutlets(delegate);
    window.show();
    if (prepare)
        prepare(delegate, window);

    // The launch handler runs once the event loop is up and the window is on screen.
    QMetaObject::invokeMethod(
        &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    const int status = app.exec();
    if (delegate.isUpdateRunActive()) {
        // Closing the window ends the application at once, even while the run
        // blocks in a wait or a tool run; a tool already running finishes on
        // its own rather than being cut off mid-write.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
