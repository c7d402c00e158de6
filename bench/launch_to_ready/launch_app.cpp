// The application's start-up exactly as main() does it, pointed at the update
// server given as the first argument; prints "ready" and quits as soon as the
// update button is enabled.

#include "app/appdelegate.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QEvent>
#include <QPushButton>

#include <cstdio>

namespace {
class ReadyWatch : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *button = qobject_cast<QPushButton *>(watched);
        if (event->type() == QEvent::EnabledChange && button && button->isEnabled()) {
            std::puts("ready");
            std::fflush(stdout);
            QCoreApplication::exit(0);
        }
        return false;
    }
};
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quiet);
    QApplication app(argc, argv);
    Configuration config = Configuration::fromBuild();
    if (argc > 1)
        config.updateServerUrl = QString::fromLocal8Bit(argv[1]);
    AppDelegate delegate(config);
    QApplication::setQuitOnLastWindowClosed(true);
    MainWindow window;
    window.connectOutlets(delegate);
    ReadyWatch watch;
    window.buildButton()->installEventFilter(&watch);
    window.show();
    QMetaObject::invokeMethod(
        &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    return app.exec();
}
