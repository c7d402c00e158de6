#include "app/appdelegate.h"
#include "app/configuration.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QMetaObject>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("hoop-updater"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vexlume Hoop Updater"));

    AppDelegate delegate(Configuration::fromBuild());
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());

    MainWindow window;
    window.connectOutlets(delegate);
    window.show();

    // The launch handler runs once the event loop is up and the window is on screen.
    QMetaObject::invokeMethod(
        &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    return app.exec();
}
