// The application's start-up exactly as the shipped program does it, pointed
// at the update server given as the first argument; prints "ready" and quits
// as soon as the update button is enabled. With --cli first, the shipped
// program's terminal mode, pointed at $HOOP_BENCH_SERVER.

#include "app/appdelegate.h"
#include "app/application.h"
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
    // The terminal's start, exactly as the shipped program makes it, with the
    // server from the environment.
    if (argc > 1 && QByteArray(argv[1]) == "--cli") {
        return runProgram(argc, argv, [](Configuration &config) {
            config.updateServerUrl = qEnvironmentVariable("HOOP_BENCH_SERVER");
            config.catalogueTrust = {}; // the benchmark's list is not signed
        });
    }
    const QString server = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    auto configure = [&server] {
        Configuration config = Configuration::fromBuild();
        if (!server.isEmpty())
            config.updateServerUrl = server;
        config.catalogueTrust = {};
        config.fetchHelper = QStringLiteral(FETCH_HELPER);
        return config;
    };
    auto prepare = [](AppDelegate &, MainWindow &window) {
        window.buildButton()->installEventFilter(new ReadyWatch(window.buildButton()));
    };
    return runApplication(argc, argv, configure, prepare);
}
